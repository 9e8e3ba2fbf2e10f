// Vireko: sounds a chosen frequency on the PC speaker and draws its waveform.
#include "main_window.h"
#include "unhandled_error.h"

int main(int argc, char** argv) {
    vireko::Application app(argc, argv);
    vireko::MainWindow window;
    window.Form_Load();
    window.show();
    return vireko::Application::exec();
}
