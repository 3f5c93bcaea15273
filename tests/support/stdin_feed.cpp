#include "support/stdin_feed.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {
int MakePipe(int aiPipe[2]) {
#ifdef _WIN32
    return _pipe(aiPipe, 4096, _O_BINARY);
#else
    return pipe(aiPipe);
#endif
}
}  // namespace

StdinFeed::StdinFeed(const std::string& strInput) {
    ptTemp_ = std::make_unique<ScratchFile>("StdinFeed");
    std::FILE* pt = ptTemp_->File();
    std::fwrite(strInput.data(), 1, strInput.size(), pt);
    std::fflush(pt);
    std::rewind(pt);
    iSavedFd_ = dup(0);
    dup2(fileno(pt), 0);
    clearerr(stdin);
}

StdinFeed::StdinFeed(const std::string& strInput, KeepOpen) {
    int aiPipe[2];
    if (MakePipe(aiPipe) != 0) {
        std::perror("StdinFeed: no pipe for the input");
        std::abort();
    }
    iSavedFd_ = dup(0);
    dup2(aiPipe[0], 0);
    close(aiPipe[0]);
    iPipeWrite_ = aiPipe[1];
    clearerr(stdin);
    Add(strInput);
}

void StdinFeed::Add(const std::string& strInput) {
    // Short texts: one write into the pipe's buffer.
    if (iPipeWrite_ >= 0 && write(iPipeWrite_, strInput.data(), strInput.size()) < 0) {
        std::perror("StdinFeed");
    }
}

StdinFeed::~StdinFeed() {
    // What the program left unread of this input goes with it, not to the next feed's reader.
#if defined(__GLIBC__)
    __fpurge(stdin);
#else
    std::fflush(stdin);  // the Windows C library empties an input stream's buffer
#endif
    if (iPipeWrite_ >= 0) {
        close(iPipeWrite_);
    }
    if (iSavedFd_ >= 0) {
        dup2(iSavedFd_, 0);
        close(iSavedFd_);
    }
    clearerr(stdin);
    ptTemp_.reset();
}
