#include "support/capture_stdout.h"

#include <unistd.h>

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    iSavedFd_ = dup(1);
    dup2(fileno(tTemp_.File()), 1);
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
    std::rewind(tTemp_.File());
    char acBuf[4096];
    std::size_t n;
    while ((n = std::fread(acBuf, 1, sizeof(acBuf), tTemp_.File())) > 0) {
        strResult_.append(acBuf, n);
    }
    tTemp_.Close();
    return strResult_;
}
