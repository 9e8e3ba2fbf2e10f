// What happens to a run-time error that no event procedure handles: a message box, and then
// the program ends with a non-zero status.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>

namespace vireko {

inline constexpr int kUnhandledErrorExitStatus = 1;

// The policy, in one place: the error is shown in a modal message box, then `endProgram` is
// called with kUnhandledErrorExitStatus.
void endByUnhandledError(QWidget* parent, const std::exception& error,
                         const std::function<void(int exitStatus)>& endProgram);

// The desktop entry the program is installed with (without ".desktop"): the window carries it
// as its application id on Wayland, so that a dock shows the entry's name and icon for it.
inline constexpr const char* kDesktopEntryId = "org.vireko.Vireko";

// Keeps exceptions from crossing Qt's event loop: any that reaches it is reported and ends
// the program.
class Application final : public QApplication {
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vireko
