/* The jobs table, through the SQL pool. Lists of due jobs and the rows of
 * an account are read through the shard's replica (the pool fails over to
 * the other replicas and then to the primary); claims and results are
 * written on the primary, and a claim only succeeds for a job still
 * pending there, so two workers (or two daemons) never take the same job.
 * No frame exception crosses this file. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mysql.h>

#include <kivo/sql.h>
#include <kivo/sqlpool.h>

#include "notifier.h"

#define CANDIDATES 16

static fr_sql_conn_t *conn_get(notifier *n) {
    fr_sql_conn_t *conn = fr_sqlpool_conn_get(n->opt.shard);
    if (!conn)
        NLOG(LOG_ERR, "no connection to shard %s", n->opt.shard);
    return conn;
}

static void copy_field(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src ? src : "");
}

/* Loads a job claimed under token, from the primary (a replica may not
 * have seen the claim yet): 0, 1 when the row no longer carries the token
 * (someone else holds the job), -1 when it cannot be read. */
static int load_job(fr_sql_conn_t *conn, unsigned long id, const char *token, notifier_job *job) {
    MYSQL_RES *res = NULL;
    if (fr_sql_conn_query(conn, 0, &res,
                          "SELECT id, account_id, recipient, name, subject, attempts, claimed_by FROM jobs "
                          "WHERE id=%lu AND state='sending'",
                          id) < 0)
        return -1;
    char **row = fr_sql_fetchrow(res);
    int rc = 1;
    if (row && row[6] && strcmp(row[6], token) == 0) {
        job->id = strtoul(row[0], NULL, 10);
        job->account = strtoul(row[1], NULL, 10);
        copy_field(job->recipient, sizeof job->recipient, row[2]);
        copy_field(job->name, sizeof job->name, row[3]);
        copy_field(job->subject, sizeof job->subject, row[4]);
        job->attempts = (unsigned)strtoul(row[5], NULL, 10);
        copy_field(job->token, sizeof job->token, token);
        rc = 0;
    }
    mysql_free_result(res);
    return rc;
}

/* Returns a job claimed under token to the queue untouched. */
static void put_back(fr_sql_conn_t *conn, unsigned long id, const char *token) {
    if (fr_sql_conn_query(conn, 0, NULL,
                          "UPDATE jobs SET state='pending', attempts=attempts-1 "
                          "WHERE id=%lu AND state='sending' AND claimed_by='%s'",
                          id, token) < 0)
        NLOG(LOG_ERR, "job %lu: claim %s may be left in state sending", id, token);
}

/* Tries to claim one of the listed jobs, starting at a different one per
 * worker so that workers do not all race for the first. Each claim carries
 * a token of its own, and the job is only taken when the row read back
 * from the primary carries that token: the claim does not rest on the
 * affected-row count alone. */
static int claim_from(notifier *n, fr_sql_conn_t *conn, const unsigned long *ids, int count, int worker,
                      notifier_job *job) {
    static unsigned long claims;
    for (int k = 0; k < count; k++) {
        unsigned long id = ids[(k + worker) % count];
        char token[96];
        snprintf(token, sizeof token, "%s/%d/%lu", n->claimer, worker,
                 __atomic_add_fetch(&claims, 1, __ATOMIC_RELAXED));
        if (fr_sql_conn_query(conn, 0, NULL,
                              "UPDATE jobs SET state='sending', attempts=attempts+1, claimed_by='%s', "
                              "claimed_at=NOW(3) WHERE id=%lu AND state='pending' AND next_try<=NOW()",
                              token, id) < 0) {
            /* The server may have run the claim before the link failed: undo
             * it by its token (matches nothing if it never ran), or the job
             * would sit in "sending" with nobody to send it. */
            put_back(conn, id, token);
            return -1;
        }
        if (mysql_affected_rows(fr_sql_conn_get_mysql(conn)) != 1)
            continue; /* taken by someone else since it was listed */
        int rc = load_job(conn, id, token, job);
        if (rc == 0)
            return 1;
        if (rc == 1) {
            NLOG(LOG_WARNING, "job %lu: claim %s was overtaken by another one; left to it", id, token);
            continue;
        }
        /* Claimed but unreadable: hand it back untouched rather than
         * leave it in "sending". */
        NLOG(LOG_ERR, "job %lu: claimed but cannot be read, put back", id);
        put_back(conn, id, token);
        return -1;
    }
    return 0;
}

int queue_claim(notifier *n, int worker, notifier_job *job) {
    uint64_t t0 = notifier_now_ns();
    fr_sql_conn_t *conn = conn_get(n);
    if (!conn)
        return -1;
    int rc = 0;
    /* First through the replica; if it shows nothing claimable (it may lag
     * behind), once more on the primary before saying the queue is empty. */
    for (int on_replica = 1; on_replica >= 0 && rc == 0; on_replica--) {
        MYSQL_RES *res = NULL;
        if (fr_sql_conn_query(conn, on_replica, &res,
                              "SELECT id FROM jobs WHERE state='pending' AND next_try<=NOW() ORDER BY id LIMIT %d",
                              CANDIDATES) < 0) {
            rc = -1;
            break;
        }
        unsigned long ids[CANDIDATES];
        int count = 0;
        char **row;
        while (count < CANDIDATES && (row = fr_sql_fetchrow(res)) != NULL)
            ids[count++] = strtoul(row[0], NULL, 10);
        mysql_free_result(res);
        if (count > 0)
            rc = claim_from(n, conn, ids, count, worker, job);
    }
    fr_sqlpool_conn_free(conn);
    notifier_add_time(n, STAGE_DB, t0);
    return rc;
}

int queue_items(notifier *n, const notifier_job *job,
                void (*row_fn)(void *arg, const char *description, const char *amount), void *arg) {
    uint64_t t0 = notifier_now_ns();
    fr_sql_conn_t *conn = conn_get(n);
    if (!conn)
        return -1;
    MYSQL_RES *res = NULL;
    int rc = fr_sql_conn_query(conn, 1, &res,
                               "SELECT description, amount FROM items WHERE account_id=%lu ORDER BY line",
                               job->account);
    if (rc == 0) {
        char **row;
        while ((row = fr_sql_fetchrow(res)) != NULL)
            row_fn(arg, row[0] ? row[0] : "", row[1] ? row[1] : "");
        mysql_free_result(res);
    }
    fr_sqlpool_conn_free(conn);
    notifier_add_time(n, STAGE_DB, t0);
    return rc;
}

enum finish_kind { FINISH_DONE, FINISH_FAIL, FINISH_RETRY };

/* Runs one update of a claimed job on the primary. A statement whose link
 * was lost while it ran is not resent by the pool; it is repeated here,
 * which is safe because every update names the state it leaves
 * ("sending") and the claim it ends, so a second run changes nothing. */
static int finish(notifier *n, const notifier_job *job, enum finish_kind kind, const char *text) {
    uint64_t t0 = notifier_now_ns();
    int rc = -1;
    for (int attempt = 0; attempt < 5 && rc < 0; attempt++) {
        if (attempt > 0) {
            struct timespec pause = {1, 0};
            nanosleep(&pause, NULL);
        }
        fr_sql_conn_t *conn = conn_get(n);
        if (!conn)
            continue;
        char *esc = fr_sql_conn_real_escape(conn, text ? text : "");
        if (esc) {
            switch (kind) {
            case FINISH_DONE:
                rc = fr_sql_conn_query(conn, 0, NULL,
                                       "UPDATE jobs SET state='done', message_id=NULLIF('%s',''), reason=NULL, "
                                       "finished_at=NOW(3) WHERE id=%lu AND state='sending' AND claimed_by='%s'",
                                       esc, job->id, job->token);
                break;
            case FINISH_FAIL:
                rc = fr_sql_conn_query(conn, 0, NULL,
                                       "UPDATE jobs SET state='failed', reason='%s', finished_at=NOW(3) "
                                       "WHERE id=%lu AND state='sending' AND claimed_by='%s'",
                                       esc, job->id, job->token);
                break;
            case FINISH_RETRY:
                rc = fr_sql_conn_query(conn, 0, NULL,
                                       "UPDATE jobs SET state='pending', reason='%s', "
                                       "next_try=NOW() + INTERVAL %d SECOND WHERE id=%lu AND state='sending' "
                                       "AND claimed_by='%s'",
                                       esc, n->opt.retry_delay * (int)job->attempts, job->id, job->token);
                break;
            }
            free(esc);
        }
        fr_sqlpool_conn_free(conn);
    }
    if (rc < 0)
        NLOG(LOG_ERR, "job %lu: result could not be written; it stays in state sending", job->id);
    notifier_add_time(n, STAGE_DB, t0);
    return rc;
}

int queue_done(notifier *n, const notifier_job *job, const char *message_id) {
    return finish(n, job, FINISH_DONE, message_id);
}

int queue_fail(notifier *n, const notifier_job *job, const char *reason) {
    return finish(n, job, FINISH_FAIL, reason);
}

int queue_retry(notifier *n, const notifier_job *job, const char *reason) {
    return finish(n, job, FINISH_RETRY, reason);
}

/* True when a claim token ("host:pid/worker/count") was made on this host
 * by a process that no longer exists: its daemon died while sending. */
static int claim_orphaned(const notifier *n, const char *token) {
    const char *slash = strchr(token, '/');
    const char *colon = NULL;
    for (const char *p = token; slash && p < slash; p++)
        if (*p == ':')
            colon = p;
    const char *own = strrchr(n->claimer, ':');
    if (!colon || !own || colon - token != own - n->claimer || strncmp(token, n->claimer, (size_t)(own - n->claimer)) != 0)
        return 0; /* another host's: its own daemon recovers it */
    long pid = strtol(colon + 1, NULL, 10);
    return pid > 0 && pid != (long)getpid() && kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

int queue_recover(notifier *n) {
    fr_sql_conn_t *conn = conn_get(n);
    if (!conn)
        return -1;
    MYSQL_RES *res = NULL;
    int rc = fr_sql_conn_query(conn, 0, &res, "SELECT id, claimed_by FROM jobs WHERE state='sending'");
    /* Ids of orphaned claims, copied out before the result goes. */
    unsigned long *ids = NULL;
    char (*tokens)[121] = NULL;
    size_t count = 0;
    if (rc == 0) {
        size_t rows = (size_t)mysql_num_rows(res);
        ids = calloc(rows + 1, sizeof *ids);
        tokens = calloc(rows + 1, sizeof *tokens);
        char **row;
        while (ids && tokens && (row = fr_sql_fetchrow(res)) != NULL) {
            const char *token = row[1] ? row[1] : "";
            if (!claim_orphaned(n, token)) {
                NLOG(LOG_NOTICE, "job %s: held by %s, left to it", row[0], token);
                continue;
            }
            ids[count] = strtoul(row[0], NULL, 10);
            snprintf(tokens[count], sizeof tokens[0], "%s", token);
            count++;
        }
        mysql_free_result(res);
        if (!ids || !tokens)
            rc = -1;
    }
    size_t failed = 0;
    for (size_t i = 0; rc == 0 && i < count; i++) {
        char *esc = fr_sql_conn_real_escape(conn, tokens[i]);
        if (!esc) {
            rc = -1;
            break;
        }
        rc = fr_sql_conn_query(conn, 0, NULL,
                               "UPDATE jobs SET state='failed', finished_at=NOW(3), "
                               "reason='interrupted while sending: delivery unknown, not sent again' "
                               "WHERE id=%lu AND state='sending' AND claimed_by='%s'",
                               ids[i], esc);
        free(esc);
        if (rc == 0)
            failed += (size_t)mysql_affected_rows(fr_sql_conn_get_mysql(conn));
    }
    if (failed)
        NLOG(LOG_WARNING, "%zu job(s) left in state sending by an earlier run on this host marked failed", failed);
    free(ids);
    free(tokens);
    fr_sqlpool_conn_free(conn);
    return rc;
}

static long number(const char *text) {
    return text ? strtol(text, NULL, 10) : 0;
}

int queue_counts(notifier *n, long *due, long *pending, long *sending) {
    uint64_t t0 = notifier_now_ns();
    fr_sql_conn_t *conn = conn_get(n);
    if (!conn)
        return -1;
    MYSQL_RES *res = NULL;
    int rc = fr_sql_conn_query(conn, 0, &res,
                               "SELECT SUM(state='pending' AND next_try<=NOW()), SUM(state='pending'), "
                               "SUM(state='sending') FROM jobs");
    if (rc == 0) {
        char **row = fr_sql_fetchrow(res);
        *due = row ? number(row[0]) : 0;
        *pending = row ? number(row[1]) : 0;
        *sending = row ? number(row[2]) : 0;
        mysql_free_result(res);
    }
    fr_sqlpool_conn_free(conn);
    notifier_add_time(n, STAGE_DB, t0);
    return rc;
}
