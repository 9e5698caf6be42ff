#include "parallel.hpp"

#include <tbb/global_control.h>

#include <mutex>
#include <new>

namespace tarvo {

namespace {

std::mutex pool_mutex;
tbb::task_scheduler_handle pool_handle;

}  // namespace

void hold_worker_pool() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (!pool_handle) pool_handle = tbb::task_scheduler_handle(tbb::attach{});
}

bool join_worker_pool() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (!pool_handle) return false;
    return tbb::finalize(pool_handle, std::nothrow);
}

}  // namespace tarvo
