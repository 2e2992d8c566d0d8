// How each test came out, in the three shapes filter-verify writes: the
// table for people, one JSON object per test, and JUnit XML for CI.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "expected.h"

struct Verdict {
    int test = 0;
    std::string surface;                   // "window" or "pbuffer"
    int width = 0, height = 0;             // of the frame; 0 without one
    std::optional<SurfaceFormat> format;   // of the frame's config, when it was read
    std::optional<Difference> difference;  // none without a frame
    Tolerance tolerance;
    bool pass = false;
    std::string note;                 // why it failed, or the drawing it looks like
    std::vector<std::string> errors;  // what filter wrote to standard error
    double seconds = 0;               // filter's run
};

std::string tableHeader();
// The verdict's line, without a line feed.
std::string tableRow(const Verdict& v);

// One line of JSON, without a line feed.
std::string jsonObject(const Verdict& v, const std::string& renderer);

// The whole JUnit document: one test case per verdict, or a single one in
// error when set-up failed before any could be judged. `suite` names the
// surface and config ("filter-verify.pbuffer.565") so that the cases of
// different runs stay apart.
std::string junitDocument(const std::string& suite, const std::vector<Verdict>& verdicts, const std::string& renderer,
                          const std::string& setupFault);
