// Vireko: sounds a chosen frequency on the PC speaker and draws its waveform.
#include "main_window.h"
#include "speaker_guardian.h"
#include "termination.h"
#include "unhandled_error.h"

int main(int argc, char** argv) {
    // First of all, while no thread exists and the process may still reach the ports: a guardian
    // that closes the speaker's gate should the program die in the middle of a tone.
    beep::SpeakerGuardian::start();
    // Before any thread starts, so that every thread leaves the termination signals to the
    // window, which silences a tone under way before the program ends.
    vireko::TerminationSignals::install();
    vireko::Application app(argc, argv);
    vireko::MainWindow window;
    window.Form_Load();
    window.show();
    return vireko::Application::exec();
}
