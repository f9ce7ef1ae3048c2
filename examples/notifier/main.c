/* notifier: sends the notifications queued in a MySQL table.
 *
 *   notifier -c <option file> [-w workers] [-x]
 *
 * Each pending job of the jobs table names a recipient, a subject and an
 * account; the daemon checks the address, fills an HTML and a plain-text
 * template with the job's fields and the account's rows (items table),
 * composes a message with both bodies and the rows as a CSV attachment,
 * and delivers it over SMTP or through the local MTA. The job then ends
 * "done" (with the message's Message-ID), or "failed" with the reason.
 *
 * Delivery rule: a job is claimed on the primary (pending -> sending)
 * before anything is sent, and marked done or failed there afterwards, so
 * no two workers or daemons send the same job. When the SMTP server or the
 * MTA cannot take the message, the job goes back to pending and is tried
 * again after retry_delay x attempts seconds, and no new job is started
 * for retry_delay seconds; after max_attempts attempts it is marked failed. An address that is not valid fails the job at once.
 * A job found in "sending" at start whose claim was made on this host by a
 * process that is gone (its daemon died while delivering) is marked failed,
 * not sent again: the message may already be out. Claims of a running
 * daemon, or of another host (whose daemon recovers them when it starts
 * again there), are left alone. The one
 * case that can still give a duplicate is an SMTP server that stores a
 * message and then loses the connection before its reply arrives.
 *
 * SIGTERM or SIGINT: no new job is started, the jobs in hand are finished
 * and recorded, every connection is given back, and the daemon exits 0.
 * A job still running a minute later (a server that stopped answering)
 * makes it exit 1 at once, leaving that job "sending" (see above).
 * With -x it also exits once no job is pending and none of its workers
 * holds one (a job another daemon is sending is left to it).
 * At the end it prints what it did and where the time went. */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <kivo/aqueue.h>
#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/parseconfig.h>
#include <kivo/safestr.h>
#include <kivo/smtp.h>
#include <kivo/sqlpool.h>

#include "notifier.h"

static int stopping;

int notifier_stopping(void) {
    return __atomic_load_n(&stopping, __ATOMIC_ACQUIRE);
}

static void request_stop(void) {
    __atomic_store_n(&stopping, 1, __ATOMIC_RELEASE);
}

static void on_signal(int sig) {
    (void)sig;
    request_stop();
}

uint64_t notifier_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void notifier_add_time(notifier *n, enum notifier_stage stage, uint64_t since_ns) {
    uint64_t spent = notifier_now_ns() - since_ns;
    pthread_mutex_lock(&n->stats.lock);
    n->stats.stage_ns[stage] += spent;
    pthread_mutex_unlock(&n->stats.lock);
}

void notifier_count(notifier *n, unsigned long *counter) {
    pthread_mutex_lock(&n->stats.lock);
    (*counter)++;
    pthread_mutex_unlock(&n->stats.lock);
}

static void pause_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* ---- one job ---- */

/* After a failed delivery no new job is handed out for retry_delay seconds:
 * a server that is down is not hammered with every job of the queue. */
static uint64_t pause_until_ns;

static void pause_dispatch(notifier *n) {
    uint64_t until = notifier_now_ns() + (uint64_t)n->opt.retry_delay * 1000000000u;
    __atomic_store_n(&pause_until_ns, until, __ATOMIC_RELAXED);
}

static int dispatch_paused(void) {
    return notifier_now_ns() < __atomic_load_n(&pause_until_ns, __ATOMIC_RELAXED);
}

/* Returns the outcome, so that the worker can stop after a failed delivery. */
static enum notifier_outcome run_job(notifier *n, const notifier_job *job) {
    char message_id[256] = "";
    char reason[256] = "";
    volatile enum notifier_outcome outcome = OUTCOME_REFUSED;
    XXL_BLOCK {
        outcome = message_run(n, job, message_id, sizeof message_id, reason, sizeof reason);
    } XXL_ON_ANY {
        const char *file = xxl_current_error_file();
        snprintf(reason, sizeof reason, "internal error: exception %d at %s:%d", xxl_current_error_code(),
                 file ? file : "?", xxl_current_error_line());
        NLOG(LOG_ERR, "job %lu: %s", job->id, reason);
        notifier_count(n, &n->stats.exceptions);
        outcome = OUTCOME_REFUSED;
    } XXL_BLOCK_END;

    switch (outcome) {
    case OUTCOME_SENT:
        queue_done(n, job, message_id);
        notifier_count(n, &n->stats.done);
        NLOG(LOG_INFO, "job %lu: sent to %s %s", job->id, job->recipient, message_id);
        break;
    case OUTCOME_REFUSED:
        queue_fail(n, job, reason);
        notifier_count(n, &n->stats.refused);
        NLOG(LOG_NOTICE, "job %lu: refused (%s): %s", job->id, job->recipient, reason);
        break;
    case OUTCOME_RETRY:
        if ((int)job->attempts >= n->opt.max_attempts) {
            char final[300];
            snprintf(final, sizeof final, "%s; gave up after %u attempts", reason, job->attempts);
            queue_fail(n, job, final);
            notifier_count(n, &n->stats.failed);
            NLOG(LOG_WARNING, "job %lu: failed: %s", job->id, final);
        } else {
            queue_retry(n, job, reason);
            notifier_count(n, &n->stats.retried);
            NLOG(LOG_WARNING, "job %lu: attempt %u: %s; tried again later", job->id, job->attempts, reason);
        }
        pause_dispatch(n);
        break;
    }
    return outcome;
}

/* ---- workers ---- */

static pthread_mutex_t dispatch_lock = PTHREAD_MUTEX_INITIALIZER;
static int dispatched; /* work items pushed and not yet finished */

static int dispatched_now(void) {
    pthread_mutex_lock(&dispatch_lock);
    int d = dispatched;
    pthread_mutex_unlock(&dispatch_lock);
    return d;
}

/* One work item: take due jobs one after the other until none is left or
 * the daemon is stopping. The item is the worker's number. */
static void work(void *user, void *item) {
    notifier *n = user;
    int worker = (int)(intptr_t)item;
    while (!notifier_stopping()) {
        notifier_job job;
        int claimed = queue_claim(n, worker, &job);
        if (claimed < 0)
            pause_ms(500); /* the database is unwell: let the main loop come back later */
        if (claimed <= 0)
            break;
        if (run_job(n, &job) == OUTCOME_RETRY || dispatch_paused())
            break;
    }
    pthread_mutex_lock(&dispatch_lock);
    dispatched--;
    pthread_mutex_unlock(&dispatch_lock);
}

static int pool_threads(fr_tpool *pool) {
    fr_aqueue_lock(pool->queue);
    int t = pool->num_threads;
    fr_aqueue_unlock(pool->queue);
    return t;
}

/* ---- set-up ---- */

static void usage(void) {
    fprintf(stderr, "usage: notifier -c <option file> [-w workers] [-x]\n");
    exit(2);
}

static char *read_file(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f)
        return NULL;
    size_t size = 0, cap = 4096;
    char *text = malloc(cap);
    size_t got;
    while (text && (got = fread(text + size, 1, cap - size - 1, f)) > 0) {
        size += got;
        if (size + 1 == cap) {
            char *bigger = realloc(text, cap *= 2);
            if (!bigger) {
                free(text);
                text = NULL;
            }
            text = bigger;
        }
    }
    fclose(f);
    if (text)
        text[size] = 0;
    return text;
}

static void default_string(safestr_t *s, const char *value) {
    if (!*s)
        *s = safestr_create(value, SAFESTR_F_TRUSTED);
}

static int read_options(const char *path, notifier_options *o) {
    memset(o, 0, sizeof *o);
    o->workers = 2;
    o->smtp_port = 25;
    o->log_level = LOG_INFO;
    o->max_attempts = 5;
    o->retry_delay = 2;
    o->down_time = 60;
    parseconfig_entry table[] = {
        {"workers", PC_INT, &o->workers, NULL, NULL, 0, 0},
        {"shard", PC_STRING, &o->shard, NULL, NULL, 0, 0},
        {"db_info", PC_STRING, &o->db_info, NULL, NULL, 0, 0},
        {"db_user", PC_STRING, &o->db_user, NULL, NULL, 0, 0},
        {"db_password", PC_STRING, &o->db_password, NULL, NULL, 0, 0},
        {"db_name", PC_STRING, &o->db_name, NULL, NULL, 0, 0},
        {"sql_verbosity", PC_INT, &o->sql_verbosity, NULL, NULL, 0, 0},
        {"replica_down_time", PC_INT, &o->down_time, NULL, NULL, 0, 0},
        {"delivery", PC_STRING, &o->delivery, NULL, NULL, 0, 0},
        {"smtp_host", PC_STRING, &o->smtp_host, NULL, NULL, 0, 0},
        {"smtp_port", PC_INT, &o->smtp_port, NULL, NULL, 0, 0},
        {"mta", PC_STRING, &o->mta, NULL, NULL, 0, 0},
        {"sender", PC_STRING, &o->sender, NULL, NULL, 0, 0},
        {"sender_name", PC_STRING, &o->sender_name, NULL, NULL, 0, 0},
        {"template_html", PC_STRING, &o->template_html, NULL, NULL, 0, 0},
        {"template_text", PC_STRING, &o->template_text, NULL, NULL, 0, 0},
        {"spool_dir", PC_STRING, &o->spool_dir, NULL, NULL, 0, 0},
        {"log_file", PC_STRING, &o->log_file, NULL, NULL, 0, 0},
        {"log_level", PC_INT, &o->log_level, NULL, NULL, 0, 0},
        {"max_attempts", PC_INT, &o->max_attempts, NULL, NULL, 0, 0},
        {"retry_delay", PC_INT, &o->retry_delay, NULL, NULL, 0, 0},
        {NULL, 0, NULL, NULL, NULL, 0, 0},
    };
    if (parseconfig(path, table) != 0) {
        NLOG(LOG_ERR, "cannot read the option file %s", path);
        return -1;
    }
    default_string(&o->shard, "main");
    default_string(&o->delivery, "smtp");
    default_string(&o->smtp_host, "127.0.0.1");
    default_string(&o->mta, "/usr/sbin/sendmail -t -i");
    default_string(&o->spool_dir, ".");
    const char *missing = !o->db_info         ? "db_info"
                          : !o->sender        ? "sender"
                          : !o->template_html ? "template_html"
                          : !o->template_text ? "template_text"
                                              : NULL;
    if (missing) {
        NLOG(LOG_ERR, "option %s is missing in %s", missing, path);
        return -1;
    }
    if (o->workers < 1 || o->max_attempts < 1 || o->retry_delay < 0) {
        NLOG(LOG_ERR, "workers and max_attempts must be at least 1, retry_delay not negative");
        return -1;
    }
    if (strcmp(o->delivery, "smtp") != 0 && strcmp(o->delivery, "mta") != 0) {
        NLOG(LOG_ERR, "delivery must be smtp or mta, not %s", o->delivery);
        return -1;
    }
    return 0;
}

static void free_options(notifier_options *o) {
    safestr_t *all[] = {&o->shard,       &o->db_info,       &o->db_user,       &o->db_password,
                        &o->db_name,     &o->delivery,      &o->smtp_host,     &o->mta,
                        &o->sender,      &o->sender_name,   &o->template_html, &o->template_text,
                        &o->spool_dir,   &o->log_file};
    for (size_t i = 0; i < sizeof all / sizeof all[0]; i++) {
        if (*all[i])
            safestr_free(*all[i]);
        *all[i] = NULL;
    }
}

static int setup_database(notifier *n) {
    notifier_options *o = &n->opt;
    /* No sweeper thread: the shard's limit (one connection per worker and
     * one for the dispatcher) already bounds what the pool keeps open. */
    fr_sqlpool_init_api(0, NULL, NULL);
    fr_sqlpool_verbosity_set(o->sql_verbosity);
    fr_sqlpool_down_time_set(o->down_time);
    fr_sql_shard_t *shard = fr_sql_shard_init_api_simple(o->shard, NULL, NULL);
    if (!shard)
        return -1;
    if (o->db_user)
        fr_sql_shard_set_user(shard, o->db_user);
    if (o->db_password)
        fr_sql_shard_set_pass(shard, o->db_password);
    if (o->db_name)
        fr_sql_shard_set_db(shard, o->db_name);
    fr_sql_shard_set_conn_timeout(shard, 3); /* DB_TIMEOUT lines may change these */
    fr_sql_shard_set_read_timeout(shard, 10);
    fr_sql_shard_set_write_timeout(shard, 10);
    fr_sql_shard_set_conn_max(shard, o->workers + 1);
    if (fr_sqlpool_shard_add(shard) != 0)
        return -1;
    if (fr_sql_shard_parse_connection_info(o->db_info, 0, 1) != 0) {
        NLOG(LOG_ERR, "no primary for shard %s in %s", o->shard, o->db_info);
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *option_file = NULL;
    int workers = 0, drain = 0, c;
    while ((c = getopt(argc, argv, "c:w:x")) != -1) {
        switch (c) {
        case 'c': option_file = optarg; break;
        case 'w': workers = atoi(optarg); break;
        case 'x': drain = 1; break;
        default: usage();
        }
    }
    if (!option_file || optind != argc)
        usage();

    static notifier n;
    pthread_mutex_init(&n.stats.lock, NULL);
    /* Standard error until the option file names the log file. */
    fr_log_init("notifier", LOG_DAEMON, (char *)NULL);
    fr_log_force_cons();
    if (read_options(option_file, &n.opt) != 0) {
        free_options(&n.opt);
        fr_log_close();
        return 2;
    }
    if (workers > 0)
        n.opt.workers = workers;
    if (n.opt.log_file) {
        fr_log_close();
        if (!fr_log_init("notifier", LOG_DAEMON, n.opt.log_file, (char *)NULL)) {
            free_options(&n.opt);
            return 2;
        }
        fr_log_force_cons();
    }
    fr_log_setlevel(n.opt.log_level);

    int status = 2;
    n.html = read_file(n.opt.template_html);
    n.text = read_file(n.opt.template_text);
    char host[40] = "localhost";
    gethostname(host, sizeof host - 1);
    snprintf(n.claimer, sizeof n.claimer, "%s:%ld", host, (long)getpid());
    if (!n.html || !n.text) {
        NLOG(LOG_ERR, "cannot read the templates %s and %s", n.opt.template_html, n.opt.template_text);
    } else if (setup_database(&n) != 0) {
        NLOG(LOG_ERR, "the SQL pool could not be set up");
    } else if (chdir(n.opt.spool_dir) != 0) {
        NLOG(LOG_ERR, "cannot enter the spool directory %s: %s", n.opt.spool_dir, strerror(errno));
    } else if (queue_recover(&n) != 0) {
        NLOG(LOG_ERR, "the jobs table cannot be read");
    } else {
        status = 0;
    }
    if (status != 0) {
        fr_sqlpool_destroy();
        free(n.html);
        free(n.text);
        free_options(&n.opt);
        fr_log_close();
        return status;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    /* The first SMTP record sets up libESMTP's authentication layer for the
     * whole process, without a lock: make it here, before any worker. */
    if (strcmp(n.opt.delivery, "smtp") == 0) {
        fr_smtp_t *first = fr_smtp_init();
        if (first)
            fr_smtp_destroy(first);
    }
    fr_tpool *pool = fr_tpool_new(work, n.opt.workers, &n);
    NLOG(LOG_NOTICE, "started: %d workers, shard %s, delivery %s", n.opt.workers, n.opt.shard, n.opt.delivery);
    uint64_t started = notifier_now_ns();
    int items = 0;
    while (!notifier_stopping()) {
        int busy = dispatched_now();
        if (busy < n.opt.workers && !(dispatch_paused() && busy > 0)) {
            long due, pending, sending;
            if (queue_counts(&n, &due, &pending, &sending) != 0) {
                pause_ms(1000);
                continue;
            }
            /* With no worker busy, a job in "sending" is not this daemon's
             * to finish (another daemon's, or one whose result could not be
             * written): waiting for it could take for ever. */
            if (drain && busy == 0 && pending == 0) {
                if (sending > 0)
                    NLOG(LOG_WARNING, "%ld job(s) in state sending left to whoever holds them", sending);
                break;
            }
            long want = dispatch_paused() ? 0 : due < n.opt.workers ? due : n.opt.workers;
            for (long i = busy; i < want; i++) {
                pthread_mutex_lock(&dispatch_lock);
                dispatched++;
                pthread_mutex_unlock(&dispatch_lock);
                fr_tpool_push(pool, (void *)(intptr_t)++items); /* numbers the work item */
            }
        }
        pause_ms(50);
    }
    int signalled = notifier_stopping();
    request_stop();

    /* The jobs in hand are finished and recorded; then the idle workers
     * end (after a second without work) and the pool can go. */
    for (int i = 0; dispatched_now() > 0 && i < 1200; i++)
        pause_ms(50);
    for (int i = 0; pool_threads(pool) > 0 && i < 100; i++)
        pause_ms(50);
    int stuck = dispatched_now() > 0 || pool_threads(pool) > 0;
    if (stuck) {
        NLOG(LOG_ERR, "workers did not stop in time");
        status = 1;
    } else {
        fr_tpool_free(pool, 0);
    }
    double seconds = (double)(notifier_now_ns() - started) / 1e9;

    /* Under the lock: a worker that did not stop may still count. */
    pthread_mutex_lock(&n.stats.lock);
    notifier_stats *s = &n.stats;
    unsigned long finished = s->done + s->refused + s->failed;
    NLOG(LOG_NOTICE, "%s: %lu sent, %lu refused, %lu failed, %lu to retry, %lu exceptions",
         signalled ? "stopped by signal" : "queue empty", s->done, s->refused, s->failed, s->retried,
         s->exceptions);
    printf("notifier: %lu jobs finished in %.2f s (%.1f jobs/s) with %d workers: %lu sent, %lu refused, "
           "%lu failed, %lu deferred for retry, %lu exceptions\n",
           finished, seconds, seconds > 0 ? finished / seconds : 0.0, n.opt.workers, s->done, s->refused,
           s->failed, s->retried, s->exceptions);
    if (finished > 0) {
        const char *names[STAGE_COUNT] = {"database", "template", "composition", "delivery"};
        printf("notifier: time per job, summed over workers:");
        for (int i = 0; i < STAGE_COUNT; i++)
            printf(" %s %.2f ms%s", names[i], (double)s->stage_ns[i] / 1e6 / (double)finished,
                   i + 1 < STAGE_COUNT ? "," : "\n");
    }
    pthread_mutex_unlock(&n.stats.lock);
    fflush(stdout);
    if (stuck) {
        /* A worker still runs a job (a server that does not answer): the
         * pool, the options and the logger are still in its hands, so
         * nothing is torn down. Its job stays "sending" and the next start
         * marks it failed rather than send it twice. */
        _exit(status);
    }

    fr_sqlpool_destroy();
    free(n.html);
    free(n.text);
    free_options(&n.opt);
    fr_log_close();
    pthread_mutex_destroy(&n.stats.lock);
    return status;
}
