/*
 * Descriptor I/O with optional time-outs, and TCP / Unix-domain connection
 * set-up. Failures return -1 with errno set; nothing is logged.
 *
 * Time-outs are seconds as a float: negative waits without limit, 0 polls
 * once. The timed calls put the descriptor in non-blocking mode for the
 * duration of the call only and restore its flags before returning.
 * Ports are in host byte order.
 */
#ifndef KIVO_NET_H
#define KIVO_NET_H

#include <netinet/in.h>
#include <kivo/export.h>

KIVO_BEGIN_DECLS

/* Adds O_NONBLOCK to fd's flags; the result of fcntl(F_SETFL). */
KIVO_API int fr_set_nb(int fd);
/* Index of the first '\n' in the first len bytes of buf, or -1. */
KIVO_API int eol_pos(const char *buf, int len);

/* Blocking loops (EINTR retried) until size bytes have moved or end of
 * file. Return the count; -1 for a null buffer, size <= 0 (read) / < 0
 * (write), or an error before anything moved. A later error returns the
 * count so far with errno set. */
KIVO_API int fr_read_b(int fd, void *buf, int size);
KIVO_API int fr_write_b(int fd, const void *data, int len);

/* One read/write, waiting up to timeout when the descriptor is not ready.
 * Bytes moved, or -1 (errno ETIMEDOUT when the time ran out). */
KIVO_API int fr_read_nb(int fd, void *buf, int size, float timeout);
KIVO_API int fr_write_nb(int fd, const void *data, int len, float timeout);
/* Writes all len bytes in chunks of at most 4096 through fr_write_nb.
 * 0 when all was written, -1 otherwise (also for null data or fd <= 0). */
KIVO_API int fr_write_nb_full(int fd, const void *data, int len, float timeout);
/* One timed read of at most size-1 bytes into buf, which is always
 * zero-terminated. When a '\n' was read, returns the length of the line
 * before it (the newline is replaced by a zero) and, on a seekable
 * descriptor, moves the offset back so the bytes after the line are read
 * next (on pipes and sockets they are lost). Without a newline returns the
 * count read. -1 on failure or when size < 2. */
KIVO_API int fr_readln_nb(int fd, char *buf, int size, float timeout);

/* Resolves host (null: this machine's name; dotted IPv4; else a name
 * lookup), fills *addr and returns a new stream socket, or -1 (errno
 * EHOSTUNREACH when the name does not resolve to an IPv4 address). */
KIVO_API int build_sockaddr_in(const char *host, unsigned short port, struct sockaddr_in *addr);
/* Connected TCP socket (blocking connect), or -1. */
KIVO_API int fr_connect_b(const char *host, unsigned short port);
/* Connected TCP socket, waiting up to timeout for the connection; -1 with
 * errno (ECONNREFUSED, ETIMEDOUT, ...) and no descriptor left open. */
KIVO_API int fr_connect_nb(const char *host, unsigned short port, float timeout);
/* Same for a Unix-domain stream socket at path; a path that does not fit
 * the 108-byte address field fails with ENAMETOOLONG. */
KIVO_API int fr_connect_nb_unix(const char *path, float timeout);

KIVO_END_DECLS

#endif
