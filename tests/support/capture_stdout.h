// Captures what the code under test prints on standard output (file descriptor 1), byte for byte.
#pragma once

#include <cstdio>
#include <string>

#include "support/scratch_file.h"

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    // Stops capturing (if still running) and returns everything printed since construction.
    std::string Finish();

  private:
    int iSavedFd_ = -1;
    ScratchFile tTemp_{"StdoutCapture"};
    std::string strResult_;
    bool bDone_ = false;
};
