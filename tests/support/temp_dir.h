// A private directory for one test or benchmark run: the project's own.
#pragma once

#include "velmora/temp_dir.h"

namespace testsupport {

using velmora::proc::TempDir;

}  // namespace testsupport
