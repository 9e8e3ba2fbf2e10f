// ALSA's "default" device, loaded with dlopen so that the library needs nothing at link time.
#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include "audio_output.h"

namespace beep {

namespace {

// ALSA reports configuration trouble on stderr; the library reports nothing.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

struct AlsaFunctions {
    decltype(&snd_pcm_open) open = nullptr;
    decltype(&snd_pcm_set_params) setParams = nullptr;
    decltype(&snd_pcm_writei) writei = nullptr;
    decltype(&snd_pcm_recover) recover = nullptr;
    decltype(&snd_pcm_drop) drop = nullptr;
    decltype(&snd_pcm_close) close = nullptr;
    decltype(&snd_strerror) strerror = nullptr;
    std::string refusal;

    AlsaFunctions() {
        void* library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            refusal = "libasound.so.2 cannot be loaded";
            return;
        }
        auto find = [library](auto& function, const char* name) {
            function =
                reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
            return function != nullptr;
        };
        decltype(&snd_lib_error_set_handler) setErrorHandler = nullptr;
        const bool complete = find(open, "snd_pcm_open") && find(setParams, "snd_pcm_set_params") &&
                              find(writei, "snd_pcm_writei") && find(recover, "snd_pcm_recover") &&
                              find(drop, "snd_pcm_drop") && find(close, "snd_pcm_close") &&
                              find(strerror, "snd_strerror") &&
                              find(setErrorHandler, "snd_lib_error_set_handler");
        if (!complete) {
            open = nullptr;
            refusal = "libasound.so.2 lacks the PCM API";
            return;
        }
        setErrorHandler(quietAlsa);
    }
};

const AlsaFunctions& alsa() {
    static const AlsaFunctions functions;
    return functions;
}

class AlsaOutput final : public AudioOutput {
public:
    explicit AlsaOutput(snd_pcm_t* pcm) : pcm_(pcm) {}
    ~AlsaOutput() override {
        alsa().drop(pcm_);
        alsa().close(pcm_);
    }
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    bool write(std::span<const float> samples) override {
        std::size_t done = 0;
        while (done < samples.size()) {
            snd_pcm_sframes_t written =
                alsa().writei(pcm_, samples.data() + done, samples.size() - done);
            if (written < 0) {
                // An underrun is recovered; a vanished device is not.
                if (alsa().recover(pcm_, static_cast<int>(written), 1) < 0) return false;
                continue;
            }
            done += static_cast<std::size_t>(written);
        }
        return true;
    }

private:
    snd_pcm_t* pcm_;
};

}  // namespace

bool alsaLibraryLoads(std::string& refusal) {
    refusal = alsa().refusal;
    return alsa().open != nullptr;
}

std::unique_ptr<AudioOutput> openAlsaOutput(unsigned latencyMs, std::string& refusal) {
    if (!alsaLibraryLoads(refusal)) return nullptr;
    snd_pcm_t* pcm = nullptr;
    int error = alsa().open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (error == 0) {
        error = alsa().setParams(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                 kAudioSampleRateHz, 1, latencyMs * 1000);
        if (error != 0) alsa().close(pcm);
    }
    if (error != 0) {
        refusal = std::string("ALSA default device: ") + alsa().strerror(error);
        return nullptr;
    }
    return std::make_unique<AlsaOutput>(pcm);
}

}  // namespace beep
