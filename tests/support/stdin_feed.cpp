#include "support/stdin_feed.h"

#include <unistd.h>

StdinFeed::StdinFeed(const std::string& strInput) {
    ptTemp_ = std::tmpfile();
    std::fwrite(strInput.data(), 1, strInput.size(), ptTemp_);
    std::fflush(ptTemp_);
    std::rewind(ptTemp_);
    iSavedFd_ = dup(0);
    dup2(fileno(ptTemp_), 0);
    clearerr(stdin);
}

StdinFeed::~StdinFeed() {
    dup2(iSavedFd_, 0);
    close(iSavedFd_);
    clearerr(stdin);
    std::fclose(ptTemp_);
}
