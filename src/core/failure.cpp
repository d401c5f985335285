#include "failure.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace kavrel {

namespace {

// Set once a pool worker enters the pool; the pool's threads are unnamed
// whatever name the operating system gave them.
thread_local bool in_pool = false;

std::string thread_name() {
    if (in_pool) return "<unnamed>";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') return "<unnamed>";
    return name;
}

// One write(2) for the whole diagnostic, so that the diagnostics of threads
// failing at the same time do not interleave within a line.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void fail(std::string_view message, std::source_location where) {
    write_stderr(
        msg::panic_diagnostic(thread_name(), where.file_name(), where.line(), where.column(), message));
    throw InternalFailure(std::string(message), where);
}

void mark_pool_thread() noexcept {
    in_pool = true;
}

}  // namespace kavrel
