// Feeds a fixed text to the code under test as its standard input (file descriptor 0).
#pragma once

#include <cstdio>
#include <string>

class StdinFeed {
  public:
    explicit StdinFeed(const std::string& strInput);
    ~StdinFeed();

  private:
    int iSavedFd_ = -1;
    std::FILE* ptTemp_ = nullptr;
};
