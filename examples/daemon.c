/* A daemon's job loop in miniature: the logger set up to standard error and
 * a log file, each job run inside a protected block whose buffers and files
 * are assets, one job failing with an exception that the loop catches and
 * logs while the job's resources are released. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/memory.h>

#define KIVO_EXAMPLE_LOG "/tmp/kivo_example_daemon.log"

static int released;
static void release_note(void *asset, void *arg) {
    (void)arg;
    released++;
    fr_log_impl("daemon", __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_FILE(0), LOG_INFO,
                "released buffer of job %s", (const char *)asset);
}

/* One job: copies its name into a buffer registered as an asset, and fails
 * with EINVAL when the name is empty. */
static void run_job(const char *name) {
    char *buf = xxl_malloc(64, XXL_ASSET_ALWAYS);
    snprintf(buf, 64, "%s", name);
    xxl_push_asset(buf, release_note, NULL, XXL_ASSET_ALWAYS);
    FILE *out = xxl_fopen("/dev/null", "w", XXL_ASSET_ALWAYS);
    if (!name[0])
        xxl_throw_error(EINVAL, (void *)name, "daemon", __LINE__);
    fprintf(out, "%s\n", buf);
    fr_log_impl("daemon", __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_FILE(0), LOG_NOTICE, "job %s done", buf);
}

int main(void) {
    unlink(KIVO_EXAMPLE_LOG);
    if (!fr_log_init("kivo-example", LOG_DAEMON, KIVO_EXAMPLE_LOG, (char *)NULL))
        return 1;
    const char *jobs[] = {"alpha", "", "gamma"};
    volatile int failed = 0;
    for (int i = 0; i < 3; i++) {
        const char *volatile job = jobs[i];
        XXL_BLOCK {
            run_job(job);
        } XXL_ON(EINVAL) {
            failed = failed + 1;
            fr_log_impl("daemon", __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_FILE(0), LOG_ERR,
                        "job %d refused: %s (raised at %s:%d)", i, strerror(xxl_current_error_code()),
                        xxl_current_error_file(), xxl_current_error_line());
        } XXL_BLOCK_END;
    }
    fr_log_impl("daemon", __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_FILE(0), LOG_INFO,
                "%d jobs, %d failed, %d buffers released", 3, failed, released);
    fr_log_close();

    printf("--- %s ---\n", KIVO_EXAMPLE_LOG);
    FILE *f = fopen(KIVO_EXAMPLE_LOG, "r");
    char line[256];
    while (f && fgets(line, sizeof line, f))
        fputs(line, stdout);
    if (f)
        fclose(f);
    return failed == 1 && released == 3 ? 0 : 1;
}
