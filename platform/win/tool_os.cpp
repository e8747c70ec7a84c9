// Windows: the tools' file opening by UTF-16 path and program runs (CreateProcessW, no cmd).
#include "tool_os.h"

#include <string.h>
#include <windows.h>

#include "os_command_line.h"

namespace {

std::wstring wide(const std::string &text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

std::string last_error() {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
    return n ? std::string(text, n) : "error " + std::to_string(GetLastError());
}

// A handle the program inherits, closed when it goes out of scope.
struct inherited {
    HANDLE h;
    inherited(const std::string &path, DWORD access, DWORD disposition) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        h = CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~inherited() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

FILE *tool_fopen(const std::filesystem::path &path, const char *mode) {
    return _wfopen(path.c_str(), std::wstring(mode, mode + strlen(mode)).c_str());
}

int tool_run(const std::vector<std::string> &argv, const std::string &dir, const std::string &output,
             bool own_session, std::string &error) {
    // The program splits its command line by the runtime library's rules, which the quoting
    // follows; nothing else reads it.
    std::string line;
    for (const std::string &a : argv) {
        std::string quoted(os_quoted_size(a.c_str()), '\0');
        os_quote_argument(a.c_str(), &quoted[0]);
        line += (line.empty() ? "" : " ") + std::string(quoted.c_str());
    }
    inherited in("NUL", GENERIC_READ, OPEN_EXISTING), out(output, GENERIC_WRITE, CREATE_ALWAYS);
    if (in.h == INVALID_HANDLE_VALUE || out.h == INVALID_HANDLE_VALUE) {
        error = (out.h == INVALID_HANDLE_VALUE ? output : std::string("NUL")) + ": " + last_error();
        return -1;
    }
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in.h;
    start.hStdOutput = start.hStdError = out.h;
    PROCESS_INFORMATION process;
    std::wstring command = wide(line);
    // Without a console a program cannot prompt: a key's password asked for on one would wait forever.
    if (!CreateProcessW(wide(argv[0]).c_str(), &command[0], nullptr, nullptr, TRUE,
                        own_session ? DETACHED_PROCESS : 0, nullptr, wide(dir).c_str(), &start, &process)) {
        error = "cannot run " + argv[0] + ": " + last_error();
        return -1;
    }
    DWORD status = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return int(status);
}
