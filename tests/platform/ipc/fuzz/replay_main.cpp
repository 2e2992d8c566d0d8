// Runs a fuzz target without libFuzzer: over the files named on the command
// line, or else over built-in seeds and a fixed series of mutations of them,
// so the normal builds exercise the same code paths.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include <velmora/Parcel.h>

#include "Transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> callFrame(uint32_t code, const velmora::Parcel& data) {
    velmora::ipc::FrameHeader header;
    header.type = velmora::ipc::FRAME_CALL;
    header.code = code;
    header.size = static_cast<uint32_t>(data.dataSize());
    std::vector<uint8_t> bytes(velmora::ipc::FRAME_HEADER_SIZE);
    velmora::ipc::encodeHeader(header, bytes.data());
    bytes.insert(bytes.end(), data.data(), data.data() + data.dataSize());
    return bytes;
}

std::vector<std::vector<uint8_t>> seeds() {
    velmora::Parcel parcel;
    parcel.writeInterfaceToken(velmora::String16("velmora.demo.IEcho"));
    parcel.writeInt32(7);
    parcel.writeString16(velmora::String16("hi"));
    parcel.writeNullString16();
    parcel.writeStrongBinder(nullptr);
    parcel.writeUint32(1);
    parcel.writeUint32(3);
    parcel.writeString16(velmora::String16("@velmora-1-0"));
    std::vector<uint8_t> asParcel{12, 4, 0, 1, 2, 3, 1, 0, 2, 6, 5, 1, 3};
    asParcel.insert(asParcel.end(), parcel.data(), parcel.data() + parcel.dataSize());
    std::vector<uint8_t> frames = callFrame(1, parcel);
    const std::vector<uint8_t> second = callFrame(0x5F4E5446, velmora::Parcel());
    frames.insert(frames.end(), second.begin(), second.end());
    // Records for the registry: registrations of this process's object, a
    // look-up and a list, as the process itself and as another.
    const std::vector<uint8_t> records{0xC2, 2,   'e', 0,   'c', 0,   'h',  0,    'o', 0,   0x00, 2,   'e',
                                       0,    'c', 0,   'h', 0,   'o', 0,    0xC6, 1,   'e', 0,    'c', 0,
                                       0x01, 1,   0,   0,   0,   0,   0x12, 1,    1,   0,   0,    0};
    return {asParcel, frames, records, {}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        return 0;
    }
    std::mt19937 random(12345);
    for (const auto& seed : seeds()) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        for (int round = 0; round < 3000; ++round) {
            std::vector<uint8_t> input = seed;
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits; ++e) {
                const uint32_t r = random();
                if (input.empty() || r % 5 == 0) {
                    input.insert(input.begin() + (input.empty() ? 0 : r % input.size()), static_cast<uint8_t>(r >> 8));
                } else if (r % 5 == 1) {
                    input.resize(r % input.size());
                } else {
                    input[r % input.size()] = static_cast<uint8_t>(r >> 8);
                }
            }
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
    }
    std::puts("replayed");
    return 0;
}
