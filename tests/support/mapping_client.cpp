// The request side of the mapping record's claim protocol (see device/mapped_data.h).
#include "tests/support/mapping_client.h"

#include <time.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

namespace frix::test {

namespace ipc = boost::interprocess;

namespace {

std::uint32_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

}  // namespace

MappingClient::MappingClient(const std::string& segment_name)
    : segment_(std::make_unique<ipc::managed_shared_memory>(ipc::open_only, segment_name.c_str())),
      record_(segment_->find<MappedData>(mapped_data_object_name).first) {
    if (!record_) throw std::runtime_error("no request record in " + segment_name);
}

MappingAnswer MappingClient::request(const MmapRequest& request, pid_t pid,
                                     std::chrono::milliseconds wait) {
    MappedData& data = *record_;
    const auto deadline = boost::posix_time::microsec_clock::universal_time() +
                          boost::posix_time::milliseconds(wait.count());
    ipc::scoped_lock<ipc::interprocess_mutex> lock(data.mutex);
    MappingAnswer answer;
    while (data.claim_pid != 0)
        if (!data.reply_condition.timed_wait(lock, deadline)) return answer;
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
    data.request_condition.notify_all();
    while (!data.replied && data.claim_pid == pid)
        if (!data.reply_condition.timed_wait(lock, deadline)) break;
    if (data.replied && data.claim_pid == pid) {
        answer.answered = true;
        answer.error = data.error;
        answer.index = data.index;
    }
    if (data.claim_pid == pid) {
        data.claim_pid = 0;
        data.posted = 0;
    }
    data.reply_condition.notify_all();
    return answer;
}

}  // namespace frix::test
