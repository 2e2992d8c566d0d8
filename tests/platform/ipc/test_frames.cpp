// The frame reader against a real socket: frames that arrive together,
// larger than its first buffer, or in pieces.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Transport.h"

using namespace velmora;

namespace {

std::vector<uint8_t> frame(uint32_t code, size_t payloadSize) {
    ipc::FrameHeader header;
    header.type = ipc::FRAME_CALL;
    header.code = code;
    header.size = static_cast<uint32_t>(payloadSize);
    std::vector<uint8_t> bytes(ipc::FRAME_HEADER_SIZE + payloadSize);
    ipc::encodeHeader(header, bytes.data());
    for (size_t i = 0; i < payloadSize; ++i) bytes[ipc::FRAME_HEADER_SIZE + i] = static_cast<uint8_t>(code + i);
    return bytes;
}

// Reads one frame and checks it is the one frame(code, size) made.
void expectFrame(ipc::FrameReader& reader, int fd, uint32_t code, size_t size) {
    ipc::FrameHeader header;
    const uint8_t* payload = nullptr;
    ASSERT_EQ(reader.read(fd, &header, &payload, 10000), OK);
    EXPECT_EQ(header.code, code);
    ASSERT_EQ(header.size, size);
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(payload[i], static_cast<uint8_t>(code + i)) << "byte " << i << " of frame " << code;
}

TEST(FrameReaderTest, ReadsFramesThatArriveTogetherApartOrInPieces) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ipc::UniqueFd writer(pair[0]), reader(pair[1]);
    const auto send = [&](const std::vector<uint8_t>& bytes, size_t from, size_t to) {
        ASSERT_EQ(::send(writer.get(), bytes.data() + from, to - from, MSG_NOSIGNAL), static_cast<ssize_t>(to - from));
    };

    // Three frames in one go, the middle one larger than the first buffer.
    std::vector<uint8_t> batch;
    for (const auto& [code, size] : {std::pair{1u, 8u}, {2u, 10000u}, {3u, 0u}}) {
        const auto bytes = frame(code, size);
        batch.insert(batch.end(), bytes.begin(), bytes.end());
    }
    send(batch, 0, batch.size());
    ipc::FrameReader frames;
    expectFrame(frames, reader.get(), 1, 8);
    expectFrame(frames, reader.get(), 2, 10000);
    expectFrame(frames, reader.get(), 3, 0);

    // One frame cut inside its header and inside its payload, plus the start
    // of the next, while the reader waits.
    const auto split = frame(4, 300);
    const auto next = frame(5, 4);
    std::thread late([&] {
        send(split, 0, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        send(split, 10, 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<uint8_t> rest(split.begin() + 100, split.end());
        rest.insert(rest.end(), next.begin(), next.begin() + 6);
        send(rest, 0, rest.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        send(next, 6, next.size());
    });
    expectFrame(frames, reader.get(), 4, 300);
    expectFrame(frames, reader.get(), 5, 4);
    late.join();

    // The end of the stream in the middle of a frame is a dead peer.
    send(frame(6, 50), 0, 40);
    writer.reset();
    ipc::FrameHeader header;
    const uint8_t* payload = nullptr;
    EXPECT_EQ(frames.read(reader.get(), &header, &payload, 10000), DEAD_OBJECT);
}

}  // namespace
