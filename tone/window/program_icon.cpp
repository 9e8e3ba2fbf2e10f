#include "program_icon.h"

#include <QPixmap>

#include "icon16.xpm"
#include "icon32.xpm"

namespace vireko {

QIcon programIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap(icon32_xpm));
    icon.addPixmap(QPixmap(icon16_xpm));
    return icon;
}

}  // namespace vireko
