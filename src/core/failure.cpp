#include "failure.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace kavrel {

namespace {

// True while a pool thread is inside the pool; the pool's threads are
// unnamed whatever name the operating system gave them.  Initial-exec: the
// flag lives in the thread's static TLS, made with the thread, so a new
// pool thread never allocates it on first use (where glibc aborts when the
// memory is not there).
[[gnu::tls_model("initial-exec")]] thread_local bool in_pool = false;

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

void set_pool_thread(bool inside) noexcept {
    in_pool = inside;
}

bool is_pool_thread() noexcept {
    return in_pool;
}

}  // namespace kavrel
