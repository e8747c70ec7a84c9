// Helpers the tests share: temporary folders, whole-file reads and writes, folder listings.
#ifndef ZORV_TEST_UTIL_H
#define ZORV_TEST_UTIL_H

#include <map>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);
// Every regular file below root, by its path relative to root ('/' between levels), with its bytes.
std::map<std::string, std::string> list_tree(const std::string &root);
std::string test_data(const std::string &name);

#endif
