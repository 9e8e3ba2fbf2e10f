// What happens to a run-time error that no event procedure handles: a message box, and then
// the program ends with a non-zero status.
#pragma once

#include <QApplication>
#include <exception>

namespace vireko {

void reportUnhandledError(QWidget* parent, const std::exception& error);

// Keeps exceptions from crossing Qt's event loop: any that reaches it is reported and ends
// the program.
class Application final : public QApplication {
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vireko
