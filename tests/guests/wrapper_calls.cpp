/* Calls every system-call wrapper in a fixed order, for tests/host/wrapper_trace_test.cpp, which checks what
 * reached the kernel on tavik-run's trace. Each step ends with a marker line "@<step> <result>" written to
 * descriptor 1, so the host test can split the trace into steps and compare the wrapper's result with the
 * kernel's. errno must never change. */
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "put_decimal.h"

static char g_buf[64];

static void mark(const char *step, int result)
{
    char line[96];
    unsigned int n = 0;
    line[n++] = '@';
    for (unsigned int i = 0; step[i]; i++)
        line[n++] = step[i];
    line[n++] = ' ';
    unsigned int u = result < 0 ? 0u - (unsigned int)result : (unsigned int)result;
    if (result < 0)
        line[n++] = '-';
    n += put_decimal(line + n, u);
    line[n++] = '\n';
    write(1, line, n);
}

int main()
{
    static char *const no_args[] = {nullptr};
    int status = 0;
    int fds[2];

    mark("write_null", write(1, nullptr, 5));
    mark("write_zero", write(1, g_buf, 0));
    mark("write_clamp", write(99, g_buf, 0xffffffffu));
    mark("read_null", read(0, nullptr, 1));
    mark("read_clamp", read(99, g_buf, 0xffffffffu));
    mark("open_null", open(nullptr, O_RDONLY));
    mark("open_create", open("made", O_WRONLY | O_CREAT, 0644));
    mark("close_made", close(3));
    mark("open_plain", open("made", O_RDONLY, 0777));
    mark("close_plain", close(3));
    mark("open_missing", open("missing", O_RDONLY));
    mark("creat_null", creat(nullptr));
    mark("creat", creat("made2"));
    mark("close_creat", close(3));
    mark("access_null", access(nullptr, 0));
    mark("access_made", access("made", 4));
    mark("access_missing", access("missing", 0));
    mark("writefile_null_path", writefile(nullptr, "x", 1));
    mark("writefile_null_data", writefile("wf", nullptr, 1));
    mark("writefile_empty", writefile("wf", "", 0));
    mark("writefile_clamp", writefile("wf", g_buf, 0xffffffffu));
    mark("sleep", sleep(1));
    mark("usleep", usleep(250));
    mark("sleep_wrap", sleep(4295));
    mark("getcwd_null", getcwd(nullptr, 10));
    mark("getcwd_zero", getcwd(g_buf, 0));
    mark("getcwd_clamp", getcwd(g_buf, 0xffffffffu));
    mark("mkdir_null", mkdir(nullptr));
    mark("unlink_null", unlink(nullptr));
    mark("rmdir_null", rmdir(nullptr));
    mark("chdir_null", chdir(nullptr));
    mark("mkfifo_null", mkfifo(nullptr));
    mark("pipe_null", pipe(nullptr));
    mark("stream_begin_null", tavikfs_stream_begin(nullptr));
    mark("stream_write_null", tavikfs_stream_write(7, nullptr, 1));
    mark("stream_write_clamp", tavikfs_stream_write(-1, g_buf, 0xffffffffu));
    mark("stream_end", tavikfs_stream_end(-1));
    mark("lseek", lseek(99, -3, SEEK_END));
    mark("dup2", dup2(1, 5));
    mark("close_dup2", close(5));
    mark("fd_set_inherit_neg", fd_set_inherit(-5));
    mark("fd_set_inherit_zero", fd_set_inherit(0));
    mark("fd_set_nonblock", fd_set_nonblock(1, 2));
    mark("fd_set_stdio", fd_set_stdio(0, 1, 1));
    mark("spawn_null", spawn(nullptr, no_args, 0));
    mark("spawn_negative", spawn("bin/x", no_args, -1));
    mark("spawn_missing", spawn("/no/such/image", nullptr, 0));
    mark("waitpid", waitpid(12345, &status, 1));
    mark("pipe", pipe(fds));
    mark("getkey", getkey());
    mark("errno", errno);
    return 0;
}
