#include "call_arguments.h"

#include <cstdlib>
#include <cstring>

#include <velmora/IBinder.h>
#include <velmora/String16.h>
#include <velmora/TextOutput.h>

using velmora::aerr;
using velmora::endl;
using velmora::IBinder;
using velmora::Parcel;
using velmora::sp;
using velmora::String16;

void failCommand(const char* message, const char* word, bool& wantsUsage, int& result) {
    aerr << message << word << endl;
    wantsUsage = true;
    result = 10;
}

namespace {

// Moves past a typed word and its operand and returns the operand; without
// one, reports the word and returns null.
const char* takeOperand(int argc, char* argv[], int& cursor, const char* missing, bool& wantsUsage, int& result) {
    cursor++;
    if (cursor >= argc) {
        failCommand(missing, "", wantsUsage, result);
        return nullptr;
    }
    return argv[cursor++];
}

// Splits a comma-separated list into the store, keeping at most the pieces
// that fit before the closing empty entry; the rest are dropped.
void splitCategories(char* value, const char* (&store)[kCategoryStoreSize]) {
    int count = 0;
    if (value != nullptr) {
        char* save = nullptr;
        for (char* piece = strtok_r(value, ",", &save); piece != nullptr && count < kCategoryStoreSize - 1;
             piece = strtok_r(nullptr, ",", &save)) {
            store[count++] = piece;
        }
    }
    store[count] = nullptr;
}

// Reads KEY=VALUE words from the cursor on. Stops at the end of the words or
// at a word that holds no key (empty, or '=' only), leaving the cursor on it.
void readIntentKeys(IntentFields& fields, int argc, char* argv[], int& cursor) {
    while (cursor < argc) {
        char* save = nullptr;
        const char* key = strtok_r(argv[cursor], "=", &save);
        if (key == nullptr) {
            return;
        }
        char* value = strtok_r(nullptr, "=", &save);
        if (strcmp(key, "action") == 0) {
            fields.action = value;
        } else if (strcmp(key, "data") == 0) {
            fields.data = value;
        } else if (strcmp(key, "type") == 0) {
            fields.type = value;
        } else if (strcmp(key, "launchFlags") == 0) {
            // No text to convert counts as no flags.
            fields.launchFlags = value != nullptr ? atoi(value) : 0;
        } else if (strcmp(key, "component") == 0) {
            fields.component = value;
        } else if (strcmp(key, "categories") == 0) {
            splitCategories(value, fields.categories);
        }
        cursor++;
    }
}

void writeIntent(Parcel& data, const IntentFields& fields) {
    writeOptionalText(data, fields.action);
    writeOptionalText(data, fields.data);
    writeOptionalText(data, fields.type);
    data.writeInt32(fields.launchFlags);
    writeOptionalText(data, fields.component);
    // The categories are gathered but never sent.
    data.writeInt32(0);
    data.writeInt32(-1);
}

}  // namespace

void writeOptionalText(Parcel& parcel, const char* text) {
    if (text == nullptr) {
        parcel.writeInt32(-1);
    } else {
        parcel.writeString16(String16(text));
    }
}

void readCallArguments(Parcel& data, int argc, char* argv[], int& cursor, bool& wantsUsage, int& result) {
    while (cursor < argc) {
        const char* word = argv[cursor];
        if (strcmp(word, "i32") == 0) {
            const char* operand =
                takeOperand(argc, argv, cursor, "service: no integer supplied for 'i32'", wantsUsage, result);
            if (operand == nullptr) {
                return;
            }
            data.writeInt32(atoi(operand));
        } else if (strcmp(word, "s16") == 0) {
            const char* operand =
                takeOperand(argc, argv, cursor, "service: no string supplied for 's16'", wantsUsage, result);
            if (operand == nullptr) {
                return;
            }
            data.writeString16(String16(operand));
        } else if (strcmp(word, "null") == 0) {
            cursor++;
            data.writeStrongBinder(sp<IBinder>());
        } else if (strcmp(word, "intent") == 0) {
            cursor++;
            IntentFields fields;
            readIntentKeys(fields, argc, argv, cursor);
            writeIntent(data, fields);
        } else {
            failCommand("service: unknown option ", word, wantsUsage, result);
            return;
        }
    }
}
