// A private directory for one test or benchmark run: the project's own.
#pragma once

#include "velmora/temp_dir.h"

namespace testsupport {

// A class of its own rather than an alias, so that it can be declared ahead.
class TempDir : public velmora::proc::TempDir {
public:
    using velmora::proc::TempDir::TempDir;
};

}  // namespace testsupport
