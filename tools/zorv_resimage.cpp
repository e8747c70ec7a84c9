// zorv-resimage: adds resources to a program, as the installers carry their payload.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "resource_image.h"
#include "tool_files.h"
#include "windows_image.h"

int main(int argc, char **argv) {
    if (argc < 3 || strcmp(argv[1], "--help") == 0) {
        fputs("usage: zorv-resimage OUT PROGRAM [TYPE/ID=FILE]...\n"
              "Writes PROGRAM with the given resources appended to OUT, e.g. RCDATA_RAW/101=payload.bz2;\n"
              "a Windows PROGRAM gets them in a resource section of its image, TYPE #N being type number N\n",
              argc < 3 ? stderr : stdout);
        return argc < 3 ? 1 : 0;
    }
    std::string program;
    if (!read_whole_file(argv[2], program)) {
        fprintf(stderr, "zorv-resimage: %s: cannot read\n", argv[2]);
        return 1;
    }
    std::vector<resource_entry> resources;
    for (int i = 3; i < argc; i++) {
        const char *slash = strchr(argv[i], '/'), *eq = strchr(argv[i], '=');
        char *end = nullptr;
        unsigned long id = slash && eq && slash < eq ? strtoul(slash + 1, &end, 10) : 0;
        if (!end || end != eq || slash == argv[i]) {
            fprintf(stderr, "zorv-resimage: %s: expected TYPE/ID=FILE\n", argv[i]);
            return 1;
        }
        resources.push_back({std::string(argv[i], size_t(slash - argv[i])), uint32_t(id), "", eq + 1});
    }
    std::string error;
    bool windows = program.compare(0, 2, "MZ") == 0;
    if (windows ? !write_windows_image(argv[2], resources, argv[1], error)
                : !write_resource_image(program, resources, argv[1], error)) {
        fprintf(stderr, "zorv-resimage: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
