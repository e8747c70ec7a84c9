// Runs a fuzz harness once over every file in the given folders: the corpus replay of the tests.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    int runs = 0;
    for (int i = 1; i < argc; i++) {
        std::vector<std::string> files;
        if (DIR *d = opendir(argv[i])) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
            closedir(d);
        } else {
            fprintf(stderr, "replay: %s: cannot open\n", argv[i]);
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const std::string &f : files) {
            std::ifstream in(f, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            runs++;
        }
    }
    printf("replay: %d inputs, no failure\n", runs);
    return runs > 0 ? 0 : 1;
}
