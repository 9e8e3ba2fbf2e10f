#include "unhandled_error.h"

#include <QMessageBox>
#include <stdexcept>

#include "runtime_error.h"

namespace vireko {

namespace {

void reportUnhandledError(QWidget* parent, const std::exception& error) {
    QString message = QString::fromUtf8(error.what());
    if (const auto* runtime = dynamic_cast<const RuntimeError*>(&error)) {
        message = QString::fromUtf8("実行時エラー '%1':\n\n%2")
                      .arg(static_cast<int>(runtime->number()))
                      .arg(message);
    }
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), message, QMessageBox::Ok,
                    parent);
    box.exec();
}

}  // namespace

void endByUnhandledError(QWidget* parent, const std::exception& error,
                         const std::function<void(int exitStatus)>& endProgram) {
    reportUnhandledError(parent, error);
    endProgram(kUnhandledErrorExitStatus);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Vireko"));
    setApplicationVersion(QStringLiteral("1.00"));
    setDesktopFileName(QString::fromLatin1(kDesktopEntryId));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    const auto end = [](int status) { exit(status); };
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        endByUnhandledError(nullptr, error, end);
    } catch (...) {
        endByUnhandledError(nullptr, std::runtime_error("unknown error"), end);
    }
    return false;
}

}  // namespace vireko
