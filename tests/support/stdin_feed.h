// Feeds a text to the code under test as its standard input (file descriptor 0): a fixed one, or one
// that goes on as the test adds to it (kKeepOpen: reads wait for Add, and the end comes with the feed).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "support/scratch_file.h"

class StdinFeed {
  public:
    enum KeepOpen { kKeepOpen };
    explicit StdinFeed(const std::string& strInput);
    StdinFeed(const std::string& strInput, KeepOpen);
    ~StdinFeed();
    void Add(const std::string& strInput);

  private:
    int iSavedFd_ = -1;
    int iPipeWrite_ = -1;
    std::unique_ptr<ScratchFile> ptTemp_;
};
