// zorv.exe for Linux: the sample application that the Linux installer carries and starts.
//
// Started with "-i" (as the installer starts it after installing), it writes the arguments it
// received, argument zero first, one to a line, into "zorv-args.txt" beside itself, and ends.
// Started any other way it runs as the application does: it waits for the installer's close
// request ("zorv CERRAR") and quits when it arrives, so that a new installation can replace it.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "os_messages.h"
#include "platform.h"

namespace {

int record_arguments(int argc, char **argv) {
    char path[PATH_MAX + 32];
    ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) return 1;
    path[n] = '\0';
    strcpy(strrchr(path, '/') + 1, "zorv-args.txt");
    FILE *f = fopen(path, "wb");
    if (!f) {
        perror(path);
        return 1;
    }
    for (int i = 0; i < argc; i++) fprintf(f, "%s\n", argv[i]);
    if (fclose(f) != 0) return 1;
    printf("zorv: instalado; argumentos recibidos en %s\n", path);
    return 0;
}

int run_until_closed() {
    unsigned close_request = os_register_window_message("zorv CERRAR");
    int listener = os_listen_for_messages();
    if (listener < 0) {
        perror("zorv: no puedo escuchar la peticion de cierre");
        return 1;
    }
    printf("zorv: en marcha (proceso %ld); espera la peticion de cierre\n", long(getpid()));
    fflush(stdout);
    unsigned message;
    int got;
    while ((got = os_receive_message(listener, &message, -1)) == 1 && message != close_request) {
    }
    os_stop_listening(listener);
    if (got != 1) return 1;
    printf("zorv: recibida la peticion de cierre; fin\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "-i") == 0) return record_arguments(argc, argv);
    return run_until_closed();
}
