// Linux stand-in for message boxes: shown on the user's terminal and answered there.
//
// A box is drawn on the controlling terminal (/dev/tty, so that it is seen and answered even when
// the program's output goes elsewhere) as its caption, its icon and its text, followed by a line
// of buttons:
//
//     +- Instalador de Zorvana
//     | (?) Desea instalar el sistema de Zorvana??
//     +- [S]i  [N]o  [C]ancelar  (Intro: Si) >
//
// The user answers with one line: the button's letter or its name (Yes also takes 'y'), or an
// empty line for the first button, which is the default button as on Windows. Anything else asks
// again. The end of input (Ctrl-D) closes the box, which gives Cancel where there is a Cancel
// button and OK in an OK box.
//
// Without a controlling terminal (a service, a job started with setsid) no box can be shown, and
// the call returns 0, as MessageBoxA does where there is no desktop: a question is then never
// taken for consent. The box's text still goes to standard error, so that a failure does not go
// unseen. Button sets other than OK and Yes/No/Cancel are not drawn either.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "platform.h"

namespace {

struct button {
    const char *label;
    const char *keys;  // first letters that choose it
    int id;
};

const button kOk[] = {{"Aceptar", "a", OS_IDOK}};
const button kYesNoCancel[] = {{"Si", "sy", OS_IDYES}, {"No", "n", OS_IDNO}, {"Cancelar", "c", OS_IDCANCEL}};

const char *icon(unsigned style) {
    switch (style & 0xF0) {
    case 0x10: return "(X) ";
    case 0x20: return "(?) ";
    case 0x30: return "(!) ";
    case 0x40: return "(i) ";
    default: return "";
    }
}

void draw(int fd, const char *text, const char *caption, unsigned style) {
    dprintf(fd, "\n+- %s\n| %s", caption, icon(style));
    for (const char *line = text;;) {
        size_t n = strcspn(line, "\n");
        dprintf(fd, "%.*s\n", int(n), line);
        if (!line[n]) break;
        line += n + 1;
        dprintf(fd, "| ");
    }
}

// One line from the terminal without its line break; false at the end of input.
bool read_line(int fd, char *line, size_t size) {
    size_t n = 0;
    for (;;) {
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            line[n] = '\0';
            return n > 0;
        }
        if (c == '\n') break;
        if (n + 1 < size) line[n++] = c;
    }
    line[n] = '\0';
    return true;
}

// The button the line names, or null.
const button *chosen(const button *buttons, size_t count, const char *line) {
    if (!line[0]) return &buttons[0];
    for (size_t i = 0; i < count; i++)
        if (strcasecmp(line, buttons[i].label) == 0 || (line[1] == '\0' && strchr(buttons[i].keys, line[0] | 0x20)))
            return &buttons[i];
    return nullptr;
}

int ask(int fd, const button *buttons, size_t count, int on_close) {
    for (;;) {
        dprintf(fd, "+-");
        for (size_t i = 0; i < count; i++) dprintf(fd, " [%c]%s ", buttons[i].label[0], buttons[i].label + 1);
        dprintf(fd, " (Intro: %s) > ", buttons[0].label);
        char line[64];
        if (!read_line(fd, line, sizeof line)) return on_close;
        if (const button *b = chosen(buttons, count, line)) return b->id;
    }
}

}  // namespace

int os_message_box(const char *text, const char *caption, unsigned style) {
    bool ok_box = (style & 0x0F) == OS_MB_OK, question = (style & 0x0F) == OS_MB_YESNOCANCEL;
    int fd = ok_box || question ? open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd < 0) {
        fprintf(stderr, "[%s] %s\n(this message box cannot be shown: no terminal to answer it)\n", caption, text);
        return 0;
    }
    draw(fd, text, caption, style);
    int answer = ok_box ? ask(fd, kOk, 1, OS_IDOK) : ask(fd, kYesNoCancel, 3, OS_IDCANCEL);
    close(fd);
    return answer;
}
