#include "display_connection.h"

#include <dlfcn.h>

#include <QGuiApplication>
#include <qpa/qplatformnativeinterface.h>

namespace vireko {

namespace {

// Calls `function` of the already loaded client library `soname` with the connection. The
// library is not linked: the platform plugin loaded it, and where it did not, there is nothing
// to flush.
void flushWith(const char* soname, const char* function, void* connection) {
    if (connection == nullptr) return;
    void* library = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) return;
    using Flush = int (*)(void*);
    if (auto flush = reinterpret_cast<Flush>(dlsym(library, function))) flush(connection);
    dlclose(library);
}

}  // namespace

void flushDisplayConnection() {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (native == nullptr) return;
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland")))
        flushWith("libwayland-client.so.0", "wl_display_flush",
                  native->nativeResourceForIntegration("wl_display"));
    else if (platform == QLatin1String("xcb"))
        flushWith("libxcb.so.1", "xcb_flush", native->nativeResourceForIntegration("connection"));
}

}  // namespace vireko
