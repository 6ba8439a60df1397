// The request side of the mapping record's claim protocol (see device/mapped_data.h).
#include "tests/support/mapping_client.h"

#include <time.h>

namespace frix::test {

namespace {

std::uint32_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

}  // namespace

MappingClient::MappingClient(const std::string& segment_name)
    : segment_(std::make_unique<RecordSegment>(segment_name)), record_(&segment_->record()) {}

MappingAnswer MappingClient::request(const MmapRequest& request, pid_t pid,
                                     std::chrono::milliseconds wait) {
    MappedData& data = *record_;
    const timespec deadline = record_deadline(static_cast<long>(wait.count()));
    MappingAnswer answer;
    if (const int locked = lock_record(data, deadline); locked != 0 && locked != EOWNERDEAD)
        return answer;
    // Unlocks, sleeps on the word and locks again; false once the wait is over.
    auto wait_on = [&](std::uint32_t* word) {
        const std::uint32_t seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
        unlock_record(data);
        wait_word(word, seen, deadline);
        const int locked = lock_record(data, deadline);
        return locked == 0 || locked == EOWNERDEAD;
    };
    answer.serving = data.serving;
    if (!data.serving) {
        unlock_record(data);
        return answer;
    }
    while (data.claim_pid != 0)
        if (!wait_on(&data.reply_seq)) return answer;
    data.claim_pid = pid;
    data.claim_stamp = monotonic_ms();
    data.pid = pid;
    data.addr = request.addr;
    data.length = request.length;
    data.prot = request.prot;
    data.flags = request.flags;
    data.fd = request.fd;
    data.offset = request.offset;
    data.error = 0;
    data.replied = 0;
    data.posted = 1;
    bump_word(&data.request_seq);
    while (!data.replied && data.claim_pid == pid) {
        if (!wait_on(&data.reply_seq)) {
            // Out of time without the lock: the claim goes anyway, or it would hold up
            // every later request, as a client that gives up must not.
            if (const int locked = lock_record(data, record_deadline(100));
                locked == 0 || locked == EOWNERDEAD) {
                if (data.claim_pid == pid) data.claim_pid = 0;
                bump_word(&data.reply_seq);
                unlock_record(data);
            }
            return answer;
        }
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            break;
    }
    if (data.claim_pid == pid) {
        answer.answered = data.replied != 0;
        answer.error = data.error;
        answer.index = data.index;
        data.claim_pid = 0;
        data.posted = 0;
    }
    bump_word(&data.reply_seq);
    unlock_record(data);
    return answer;
}

}  // namespace frix::test
