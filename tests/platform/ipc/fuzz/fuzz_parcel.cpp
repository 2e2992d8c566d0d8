// Reads a parcel made of arbitrary bytes with an arbitrary sequence of reads.
// The first byte says how many of the following bytes are read operations.
#include <cstddef>
#include <cstdint>

#include <velmora/IBinder.h>
#include <velmora/Parcel.h>
#include <velmora/TextOutput.h>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t ops = data[0] < size - 1 ? data[0] : size - 1;
    const uint8_t* op = data + 1;
    Parcel parcel;
    parcel.setData(op + ops, size - 1 - ops);

    for (size_t i = 0; i < ops; ++i) {
        switch (op[i] % 7) {
        case 0:
            parcel.readInt32();
            break;
        case 1:
            parcel.readString16();
            break;
        case 2: {
            std::optional<String16> text;
            parcel.readNullableString16(&text);
            break;
        }
        case 3:
            parcel.readStrongBinder();
            break;
        case 4:
            parcel.enforceInterface(String16("velmora.demo.IEcho"));
            break;
        case 5:
            parcel.setDataPosition(op[i] / 7 * 4);
            break;
        case 6: {
            Parcel copy;
            copy.appendFrom(parcel, parcel.dataPosition(), parcel.dataAvail());
            copy.readString16();
            break;
        }
        }
    }
    StringTextOutput out;
    parcel.print(out);
    return 0;
}
