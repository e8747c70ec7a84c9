// WinMain: the whole installation, from the command line to the launch of the installed program.
#include <string.h>

#include "driver.h"
#include "payload.h"
#include "platform.h"

namespace {

const char kCaption[] = "Instalador de Zorvana";
const char kConsent[] = "Desea instalar el sistema de Zorvana??";
const char kCloseRequest[] = "zorv CERRAR";
const char kDefaultFolder[] = "\\zorvdal\\";
const char kProgram[] = "zorv.exe";
const char kLaunchArgument[] = "-i";

const char kNoWindowsDirectory[] =
    "No se pudo instalar debido a que no pude determinar el directorio de windows";
const char kExtractionFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado.";
const char kLaunchFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado!";
const char kDirectoryTooLong[] =
    "No se pudo instalar debido a que el directorio de destino es demasiado largo";

// How long a running copy of the application has to quit once it is asked to.
const unsigned long kCloseWait = 1000;

// The install path: first the target directory, then the installed program inside it.
const size_t kInstallPathSize = 1500;
const unsigned kWindowsDirectorySize = 1000;

struct options {
    bool silent = false;
    bool no_launch = false;
    const char *directory = nullptr;
};

bool is(const char *word, const char *option) { return word && strcmp(word, option) == 0; }

// Each option is recognised only in its own place, in this order; reading stops after "-d".
options read_options(char **words) {
    options o;
    int at = 0;
    if (is(words[at], "-s")) {
        o.silent = true;
        at++;
    }
    if (is(words[at], "-r")) {
        o.no_launch = true;
        at++;
    }
    if (is(words[at], "-d")) o.directory = words[at + 1];
    return o;
}

// Shows a failure message and ends the run; a payload decoded for nothing is removed first.
[[noreturn]] void fail(const char *text, decoded_payload *unused = nullptr) {
    if (unused) install_decoded(unused, nullptr);
    os_message_box(text, kCaption, OS_MB_OK | OS_MB_ICONERROR);
    os_exit(-1);
}

}  // namespace

extern "C" int OS_WINAPI WinMain(void *instance, void *previous, char *command_line, int show) {
    (void)instance, (void)previous, (void)show;
    return run_installation(split_command_line(command_line));
}

int run_installation(char **words) {
    // Kept reachable for the life of the process, as the words are never released.
    static char **kept;
    kept = words;
    // Without its words the installer cannot know what it was asked to do.
    if (!kept) fail(kExtractionFailed);
    options o = read_options(kept);

    if (!o.silent && os_message_box(kConsent, kCaption, OS_MB_YESNOCANCEL | OS_MB_ICONQUESTION) != OS_IDYES)
        return 0;

    // Nobody acknowledges the request: the wait is what lets a running copy quit and let go of
    // its files before they are overwritten. The payload is decoded meanwhile, into the current
    // folder alone: the target is not touched before the second is over.
    os_broadcast_message(os_register_window_message(kCloseRequest));
    unsigned long asked = os_milliseconds();
    decoded_payload payload;
    bool decoded = decode_payload(&payload) == 0;
    unsigned long waited = os_milliseconds() - asked;
    if (waited < kCloseWait) os_sleep(unsigned(kCloseWait - waited));

    char install_path[kInstallPathSize];
    bool made_default = false;
    // A failure to come leaves no temporary file behind.
    decoded_payload *pending = decoded ? &payload : nullptr;
    if (o.directory) {
        if (strlen(o.directory) + 1 + strlen(kProgram) >= sizeof install_path) fail(kDirectoryTooLong, pending);
        strcpy(install_path, o.directory);
        strcat(install_path, "\\");
    } else {
        // A result of the buffer's size or more is the size the directory would need.
        unsigned n = os_get_windows_directory(install_path, kWindowsDirectorySize);
        if (n == 0 || n >= kWindowsDirectorySize) fail(kNoWindowsDirectory, pending);
        strcat(install_path, kDefaultFolder);
        // An existing folder is the normal case on a repeated installation; a real failure to
        // create it shows up as a failed extraction.
        made_default = os_mkdir(install_path) == 0;
    }

    if (!decoded || install_decoded(&payload, install_path) != 0) {
        // A failed installation leaves no folder that it made.
        if (made_default) os_rmdir(install_path);
        fail(kExtractionFailed);
    }
    strcat(install_path, kProgram);
    record_install_path(install_path);
    if (o.no_launch) return 0;
    os_exec(install_path, install_path, kLaunchArgument);
    fail(kLaunchFailed);
}
