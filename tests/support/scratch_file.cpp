#include "support/scratch_file.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

ScratchFile::ScratchFile(const char* strUser) {
    static std::atomic<unsigned> s_uCount{0};
    std::error_code tError;
    std::filesystem::path tDir = std::filesystem::temp_directory_path(tError);
    if (tError) {
        std::fprintf(stderr, "%s: no temporary folder for a scratch file: %s\n", strUser,
                     tError.message().c_str());
        std::abort();
    }
    strPath_ =
        (tDir / ("taveloiap-test." + std::to_string(getpid()) + "." + std::to_string(++s_uCount))).string();
    ptFile_ = std::fopen(strPath_.c_str(), "w+b");
    if (ptFile_ == nullptr) {
        std::fprintf(stderr, "%s: cannot create the scratch file %s: %s\n", strUser, strPath_.c_str(),
                     std::strerror(errno));
        std::abort();
    }
}

ScratchFile::~ScratchFile() {
    Close();
}

void ScratchFile::Close() {
    if (ptFile_ == nullptr) {
        return;
    }
    std::fclose(ptFile_);
    ptFile_ = nullptr;
    std::remove(strPath_.c_str());
}
