// Form1's layout: each control's name, kind, caption, place and text colour, in the order the
// window creates them. The window builds itself from this table.
#pragma once

#include <optional>
#include <string_view>

#include "emit_sound.h"
#include "surface.h"
#include "waveform.h"

namespace vireko {

enum class ControlKind { TextBox, CommandButton, PictureBox, Label, ScrollBar, Frame, OptionButton };

struct ControlRect {
    int left, top, width, height;
};

struct ControlSpec {
    const char* name;
    ControlKind kind;
    const char* caption;    // UTF-8; empty where the control has none
    const char* container;  // nullptr: the window's client area
    ControlRect rect;       // pixels, relative to the container
    std::optional<Rgb> textColour;
};

inline constexpr ControlSpec kForm1Controls[] = {
    {"Text1", ControlKind::TextBox, kDefaultFrequencyText, nullptr, {112, 376, 65, 23}, Rgb{0, 0, 0}},
    {"Command1", ControlKind::CommandButton, "音を出す", nullptr, {288, 384, 73, 41}, {}},
    {"Text2", ControlKind::TextBox, "　周波数を入力してください", nullptr, {368, 400, 169, 18}, {}},
    {"Picture1", ControlKind::PictureBox, "", nullptr, {40, 8, kPictureWidth, kPictureHeight}, {}},
    {"Command2", ControlKind::CommandButton, "終了", nullptr, {552, 384, 65, 41}, {}},
    {"Label1", ControlKind::Label, "（周波数は40～20000まで）", nullptr, {384, 376, 145, 17}, Rgb{0, 0, 255}},
    {"Label2", ControlKind::Label, "周波数", nullptr, {64, 380, 49, 17}, Rgb{0, 0, 255}},
    {"HScroll1", ControlKind::ScrollBar, "", nullptr, {8, 400, 265, 25}, {}},
    {"Label3", ControlKind::Label, "Ｈｚ", nullptr, {200, 380, 33, 17}, Rgb{0, 0, 192}},
    {"Frame1", ControlKind::Frame, "表示レンジ", nullptr, {40, 328, 273, 41}, {}},
    {"Option1", ControlKind::OptionButton, "1倍", "Frame1", {24, 16, 57, 12}, {}},
    {"Option2", ControlKind::OptionButton, "10倍", "Frame1", {120, 16, 57, 17}, {}},
    {"Option3", ControlKind::OptionButton, "100倍", "Frame1", {208, 16, 65, 17}, {}},
};

// Text1's face, 12-point regular, and the faces that stand in for it where it is missing.
inline constexpr const char* kText1FontFamilies[] = {
    "ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "Noto Sans CJK JP", "Source Han Sans JP",
    "VL PGothic", "TakaoPGothic", "IPAexGothic", "Sans Serif"};
inline constexpr int kText1FontPoints = 12;

}  // namespace vireko
