// A fresh folder under $TMPDIR (else /tmp) for one test, removed with
// everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class TempFolder {
public:
    explicit TempFolder(const char* prefix = "solvane")
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};
