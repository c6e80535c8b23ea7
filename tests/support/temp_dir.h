// A fresh directory for a test's files, removed with all it holds at the end.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brevorin::test {

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/brevorin-test-XXXXXX";
        path_ = ::mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() { remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The directory text that attachment names are appended to.
    std::string text() const { return path_ + "/"; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Names of the entries, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") out.push_back(n);
            }
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    static void remove_all(const std::string& path) {
        if (path.empty()) return;
        if (DIR* d = ::opendir(path.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                std::string child = path + "/" + n;
                struct stat st;
                if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_all(child);
                else
                    ::unlink(child.c_str());
            }
            ::closedir(d);
        }
        ::rmdir(path.c_str());
    }
    std::string path_;
};

}  // namespace brevorin::test
