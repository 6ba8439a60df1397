// The feed driver's side of the writer node: written frames become the camera's picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frix/writer.h"
#include "jpeg_decoder.h"
#include "options.h"
#include "reader.h"
#include "stream_format.h"

namespace frix::feed {

// Runs on the writer node's thread alone; only Reader::offer, started and ended reach
// what the capture thread reads, under the reader's lock.
class WriterIntake : public WriterTarget {
public:
    WriterIntake(const Options& options, Reader& reader);

    std::string writer_node_name() override;
    std::string writer_card() override;
    void writer_started(const std::string& who) override;
    void take_written_frame(const WrittenFrame& frame) override;
    void writer_ended() override;

private:
    void repack(const WrittenFrame& frame);

    const std::string node_;
    const std::string card_;
    Reader& reader_;
    JpegDecoder jpeg_;
    std::string who_;
    // Swapped with the reader's newest picture: once both have grown to the frame's
    // size, frames cost no allocation.
    std::vector<std::uint8_t> spare_;
    StreamFormat format_;
};

}  // namespace frix::feed
