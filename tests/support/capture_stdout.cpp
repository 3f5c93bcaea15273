#include "support/capture_stdout.h"

#include <unistd.h>

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    ptTemp_ = std::tmpfile();
    iSavedFd_ = dup(1);
    dup2(fileno(ptTemp_), 1);
}

StdoutCapture::~StdoutCapture() {
    Finish();
}

std::string StdoutCapture::Finish() {
    if (bDone_) {
        return strResult_;
    }
    bDone_ = true;
    std::fflush(stdout);
    dup2(iSavedFd_, 1);
    close(iSavedFd_);
    std::rewind(ptTemp_);
    char acBuf[4096];
    std::size_t n;
    while ((n = std::fread(acBuf, 1, sizeof(acBuf), ptTemp_)) > 0) {
        strResult_.append(acBuf, n);
    }
    std::fclose(ptTemp_);
    return strResult_;
}
