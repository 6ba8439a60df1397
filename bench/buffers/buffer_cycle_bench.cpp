// One slot through the whole frame path: enqueue, take for filling, make ready, dequeue.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "buffers/buffer_manager.h"

namespace {

// Runs on one thread, so it measures the queue bookkeeping and locking, not hand-overs.
void slot_cycle(benchmark::State& state, const std::string& prefix) {
    frix::BufferManager manager;
    manager.resize_pool(4, prefix);
    unsigned long capacity = 0;
    manager.init_pool_buffers([&capacity](frix::BufferData& data, unsigned, unsigned) {
        data.set_length(614400, 0);  // a 640×480 YUYV frame
        capacity = data.capacity();
    });
    manager.stream_on();
    unsigned long index = 0;
    for (auto _ : state) {
        manager.enqueue_free_buffer(index);
        frix::Buffer* slot = manager.get_enqueued_buffer().first;
        slot->data()->clear();
        slot->data()->set_state(frix::BufferState::Complete);
        manager.make_frame_ready_and_notify();
        const v4l2_buffer record = manager.dequeue_buffer();
        benchmark::DoNotOptimize(record.sequence);
        index = (index + 1) % 4;
    }
    // Memory held per buffer: the slot and its storage object, plus the frame storage.
    state.counters["object_bytes"] =
        static_cast<double>(sizeof(frix::Buffer) + (prefix.empty() ? sizeof(frix::ReadBufferData)
                                                                   : sizeof(frix::MmapBufferData)));
    state.counters["storage_bytes"] = static_cast<double>(capacity);
}

void heap_slot_cycle(benchmark::State& state) { slot_cycle(state, ""); }

void shm_slot_cycle(benchmark::State& state) {
    slot_cycle(state, "frix_bench" + std::to_string(::getpid()) + "i");
}

BENCHMARK(heap_slot_cycle);
BENCHMARK(shm_slot_cycle);

}  // namespace

BENCHMARK_MAIN();
