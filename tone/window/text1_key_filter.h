// Text1's key hook: every character typed, or committed by an input method, goes through the
// digit filter before the text box sees it.
#pragma once

#include <QObject>

namespace vireko {

class Text1KeyFilter final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace vireko
