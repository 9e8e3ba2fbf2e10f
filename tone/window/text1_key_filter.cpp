#include "text1_key_filter.h"

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <optional>

#include "digit_filter.h"

namespace vireko {

namespace {

// The character a key press would type, as a 16-bit code; none for keys that type nothing.
std::optional<std::int16_t> typedCharacter(const QKeyEvent& event) {
    const int key = event.key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) return std::nullopt;  // moves the focus
    const QString text = event.text();
    if (!text.isEmpty()) return static_cast<std::int16_t>(text.at(0).unicode());
    if ((event.modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return static_cast<std::int16_t>(key - Qt::Key_A + 1);  // Ctrl+A is 1, Ctrl+V is 22
    switch (key) {
        case Qt::Key_Backspace:
            return kBackspaceCode;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return kReturnCode;
        case Qt::Key_Escape:
            return kEscapeCode;
        default:
            return std::nullopt;
    }
}

}  // namespace

bool Text1KeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto code = typedCharacter(*static_cast<QKeyEvent*>(event));
        if (!code) return false;
        std::int16_t keyAscii = *code;
        Text1_KeyPress(keyAscii);
        return keyAscii == kDiscardCode;
    }
    if (event->type() == QEvent::InputMethod) {
        auto* input = static_cast<QInputMethodEvent*>(event);
        const QString committed = input->commitString();
        if (passesDigitFilter(std::u16string_view(
                reinterpret_cast<const char16_t*>(committed.utf16()), std::size_t(committed.size()))))
            return false;
        // The commit is cancelled; what is still being composed stays.
        QInputMethodEvent withoutCommit(input->preeditString(), input->attributes());
        QCoreApplication::sendEvent(watched, &withoutCommit);
        return true;
    }
    return false;
}

}  // namespace vireko
