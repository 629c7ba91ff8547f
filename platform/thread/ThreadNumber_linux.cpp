#include "platform/thread/ThreadNumber.h"

#include <pthread.h>
#include <unistd.h>

namespace platform::thread {

namespace {

// Asked for every log record; a thread's number never changes, except for the
// thread that forks, which has a new one in the child.
thread_local std::uint32_t cachedNumber = 0;

void forgetNumberInChild() { cachedNumber = 0; }

}  // namespace

std::uint32_t currentThreadNumber() {
    if (cachedNumber == 0) {
        static const bool registered = pthread_atfork(nullptr, nullptr, &forgetNumberInChild) == 0;
        (void)registered;
        cachedNumber = static_cast<std::uint32_t>(::gettid());
    }
    return cachedNumber;
}

}  // namespace platform::thread
