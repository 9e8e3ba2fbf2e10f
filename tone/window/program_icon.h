// The program's icon: a burst of oscillation in green, 32 x 32 with lettering and 16 x 16.
#pragma once

#include <QIcon>

namespace vireko {
QIcon programIcon();
}
