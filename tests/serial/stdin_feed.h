// Feeds a text to standard input for the duration of a scope (the code under test reads stdin).
#pragma once

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class StdinFeed {
  public:
    explicit StdinFeed(const std::string& strText) {
        ptFile_ = std::tmpfile();
        std::fwrite(strText.data(), 1, strText.size(), ptFile_);
        std::fflush(ptFile_);
        std::rewind(ptFile_);
        iSavedFd_ = dup(0);
        __fpurge(stdin);
        dup2(fileno(ptFile_), 0);
        std::clearerr(stdin);
    }
    ~StdinFeed() {
        __fpurge(stdin);
        dup2(iSavedFd_, 0);
        close(iSavedFd_);
        std::clearerr(stdin);
        std::fclose(ptFile_);
    }
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

  private:
    std::FILE* ptFile_ = nullptr;
    int iSavedFd_ = -1;
};
