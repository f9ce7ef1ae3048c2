/* Shared declarations of the notification daemon: its options, the job it
 * works on, the counters it reports, and the three stages (queue, message,
 * delivery) that main.c strings together. */
#ifndef NOTIFIER_H
#define NOTIFIER_H

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <syslog.h>

#include <kivo/log.h>
#include <kivo/safestr.h>

/* Every line of the daemon's own goes to standard error and to the log file
 * (slot 0); library events reach standard error through the forced console. */
#define NLOG(level, ...) \
    fr_log_impl("notifier", __LINE__, __func__, FR_LOG_CONSOLE | FR_LOG_FILE(0), (level), __VA_ARGS__)

/* Options, read from the option file by parseconfig. Strings are safe
 * strings owned by the daemon (null when the key is absent). */
typedef struct notifier_options {
    int32_t workers;        /* worker threads */
    safestr_t shard;        /* shard name in the SQL pool */
    safestr_t db_info;      /* connection-info file: DB_MASTER / DB_SLAVE lines */
    safestr_t db_user;
    safestr_t db_password;
    safestr_t db_name;
    int32_t sql_verbosity;  /* pool message gate (0 silent .. 5 everything) */
    int32_t down_time;      /* seconds a failed replica is skipped */
    safestr_t delivery;     /* "smtp" or "mta" */
    safestr_t smtp_host;
    int32_t smtp_port;
    safestr_t mta;          /* command line of the MTA, for delivery mta */
    safestr_t sender;       /* envelope and From address */
    safestr_t sender_name;
    safestr_t template_html;
    safestr_t template_text;
    safestr_t spool_dir;    /* attachments and message files are made here */
    safestr_t log_file;
    int32_t log_level;
    int32_t max_attempts;   /* delivery attempts before a job is failed */
    int32_t retry_delay;    /* seconds before a failed delivery is tried again */
} notifier_options;

/* One job as loaded from the database. */
typedef struct notifier_job {
    unsigned long id;
    unsigned long account;
    unsigned attempts;      /* including the one now running */
    char recipient[321];
    char name[101];
    char subject[201];
    char token[96];         /* the claim this process holds on it */
} notifier_job;

/* Outcome of one delivery attempt. */
enum notifier_outcome {
    OUTCOME_SENT,      /* accepted by the server or the MTA */
    OUTCOME_REFUSED,   /* the job cannot be sent as it is (bad address ...) */
    OUTCOME_RETRY      /* delivery failed; worth another attempt later */
};

/* Time spent per stage, in nanoseconds, summed over all workers. */
enum notifier_stage { STAGE_DB, STAGE_TEMPLATE, STAGE_COMPOSE, STAGE_DELIVER, STAGE_COUNT };

typedef struct notifier_stats {
    pthread_mutex_t lock;
    unsigned long done, refused, retried, failed, exceptions;
    uint64_t stage_ns[STAGE_COUNT];
} notifier_stats;

typedef struct notifier {
    notifier_options opt;
    char *html;             /* template texts, read once at start */
    char *text;
    char claimer[64];       /* host:pid, start of every claim token */
    notifier_stats stats;
} notifier;

/* Set by SIGTERM or SIGINT (or when the queue is drained with -x); read by
 * every thread, hence atomic. */
int notifier_stopping(void);

uint64_t notifier_now_ns(void);
void notifier_add_time(notifier *n, enum notifier_stage stage, uint64_t since_ns);
void notifier_count(notifier *n, unsigned long *counter);

/* queue.c: the jobs table. Every function takes a pooled connection of the
 * shard and gives it back before returning. */
/* Claims one due job for worker `worker` and loads it: 1 claimed, 0 none
 * due, -1 database failure. */
int queue_claim(notifier *n, int worker, notifier_job *job);
/* Rows of the job's account for the template's block, through the replica.
 * Calls row(arg, description, amount) per row; 0, or -1. */
int queue_items(notifier *n, const notifier_job *job,
                void (*row)(void *arg, const char *description, const char *amount), void *arg);
/* Final or retry state of a claimed job. */
int queue_done(notifier *n, const notifier_job *job, const char *message_id);
int queue_fail(notifier *n, const notifier_job *job, const char *reason);
int queue_retry(notifier *n, const notifier_job *job, const char *reason);
/* Jobs left "sending" by a run that ended without finishing them. */
int queue_recover(notifier *n);
/* Counts on the primary: due pending jobs, all pending jobs, jobs being sent. */
int queue_counts(notifier *n, long *due, long *pending, long *sending);

/* message.c: one job from address check to delivery. Sets reason (at most
 * reason_size bytes) when the outcome is not OUTCOME_SENT, and message_id
 * when it is known. Runs inside the caller's protected block; exceptions
 * of the safe-string operations pass to it. */
enum notifier_outcome message_run(notifier *n, const notifier_job *job, char *message_id, size_t id_size,
                                  char *reason, size_t reason_size);

#endif
