// The program's binding to the speaker library, against the real libbeep.so.3.
//
// This executable's run path names an empty folder. The library is absent until a test copies
// it there, so the bare-name search is the one the program itself relies on.
#include <gtest/gtest.h>

#include <filesystem>

#include "beep_library.h"
#include "emit_sound.h"
#include "error_of.h"
#include "fakes.h"
#include "runtime_error.h"

namespace vireko {
namespace {

namespace fs = std::filesystem;
using testing::errorOf;

void place(const char* builtPath, const char* name) {
    fs::copy_file(builtPath, fs::path(VIREKO_LATE_LIBRARY_DIR) / name,
                  fs::copy_options::overwrite_existing);
}

class Binding : public ::testing::Test {
protected:
    // The folder itself is made by the build and must stay: the dynamic loader looks at the
    // run path when the process starts, and a folder missing then stays missing for good.
    static void SetUpTestSuite() {
        for (const auto& entry : fs::directory_iterator(VIREKO_LATE_LIBRARY_DIR))
            fs::remove(entry.path());
    }
};

TEST_F(Binding, AbsentLibraryFailsEveryCallAndIsLookedForAgainUntilItArrives) {
    BeepLibrary library;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(errorOf([&] { library.beepFreq(440); }), ErrorNumber::LibraryNotLoaded);
        EXPECT_EQ(errorOf([&] { library.beepOn(); }), ErrorNumber::LibraryNotLoaded);
        EXPECT_EQ(errorOf([&] { library.beepOff(); }), ErrorNumber::LibraryNotLoaded);
    }
    place(VIREKO_BEEP_LIBRARY, kBeepLibraryName);
    EXPECT_NO_THROW(library.beepFreq(440));
    EXPECT_NO_THROW(library.beepOn());
    EXPECT_NO_THROW(library.beepOff());

    // Bound for good: the file may go away once the functions are found.
    fs::remove(fs::path(VIREKO_LATE_LIBRARY_DIR) / kBeepLibraryName);
    EXPECT_NO_THROW(library.beepOn());
    EXPECT_NO_THROW(library.beepOff());
}

TEST_F(Binding, EachFunctionIsBoundOnItsOwnAndAMissingOneFailsEveryTime) {
    // A library with beep_freq and beep_on only.
    place(VIREKO_PARTIAL_LIBRARY, "libbeep-partial.so");
    BeepLibrary library("libbeep-partial.so");
    EXPECT_NO_THROW(library.beepFreq(440));
    EXPECT_NO_THROW(library.beepOn());
    EXPECT_EQ(errorOf([&] { library.beepOff(); }), ErrorNumber::EntryPointNotFound);
    EXPECT_EQ(errorOf([&] { library.beepOff(); }), ErrorNumber::EntryPointNotFound);
}

// The loader's own words travel with the error, for whoever diagnoses a silent program.
std::string reasonOf(auto&& statement) {
    try {
        statement();
    } catch (const RuntimeError& error) {
        return error.reason();
    }
    return "no run-time error";
}

TEST_F(Binding, FailuresCarryTheLoadersReason) {
    BeepLibrary missing("libbeep-absent.so.3");
    EXPECT_NE(reasonOf([&] { missing.beepOn(); }).find("libbeep-absent.so.3"), std::string::npos);
    place(VIREKO_PARTIAL_LIBRARY, "libbeep-partial.so");
    BeepLibrary partial("libbeep-partial.so");
    EXPECT_NE(reasonOf([&] { partial.beepOff(); }).find("beep_off"), std::string::npos);
}

TEST_F(Binding, EmitSoundWithoutTheLibraryIsSilentAndOtherwiseComplete) {
    BeepLibrary missing("libbeep-absent.so.3");
    testing::FakeControls controls;
    controls.scrollValue = 1000;
    testing::RecordingSurface picture;
    testing::CountingAlert alert;
    testing::SteppingClock clock;
    const float start = clock.now;
    EXPECT_NO_THROW(Command1_Click({controls, picture, missing, alert, clock}));
    EXPECT_EQ(alert.beeps, 0);
    EXPECT_EQ(controls.scrollValue, 440);
    EXPECT_EQ(controls.text2Value, " 440　Ｈｚの音を発信中です");
    EXPECT_EQ(picture.segments.size(), 9u + 823u);
    EXPECT_GE(clock.now - start, 1.0f);
}

}  // namespace
}  // namespace vireko
