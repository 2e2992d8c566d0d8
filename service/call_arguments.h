// Reads the typed argument words of `service call` into the data parcel.
#pragma once

#include <cstdint>

#include <velmora/Parcel.h>

// Room for 15 category pieces plus the closing empty entry.
constexpr int kCategoryStoreSize = 16;

// The values gathered after an "intent" word; texts point into the
// command-line words, which are cut in place.
struct IntentFields {
    const char* action = nullptr;
    const char* data = nullptr;
    const char* type = nullptr;
    int32_t launchFlags = 0;
    const char* component = nullptr;
    const char* categories[kCategoryStoreSize] = {};
};

// A command line that cannot run: the complaint with the faulty word on aerr,
// status 10, and the usage text to follow.
void failCommand(const char* message, const char* word, bool& wantsUsage, int& result);

// An absent text goes out as -1, a present one as a UTF-16 string.
void writeOptionalText(velmora::Parcel& parcel, const char* text);

// Appends the values of the words from `cursor` on to `data`, moving the
// cursor over every word it takes. At the first faulty word it writes the
// complaint to aerr, sets `wantsUsage` and `result` to 10, and returns with
// what was appended so far left in the parcel.
void readCallArguments(velmora::Parcel& data, int argc, char* argv[], int& cursor, bool& wantsUsage, int& result);
