/*
 * The mail record, its attachments and lists, shared by the record's setters
 * (mail.cpp) and the message writer (mail_build.cpp).
 */
#ifndef KIVO_MAIL_INTERNAL_H
#define KIVO_MAIL_INTERNAL_H

#include <stdio.h>
#include <kivo/mail.h>
#include <kivo/object.h>

/* A transfer encoding: file encoder, string writer and its header name. */
struct mail_codec {
    int (*file_enc)(FILE *in, FILE *out);
    int (*str_write)(FILE *out, const char *text);
    char *name;
};

struct fr_mail_addr {
    fr_mail_addr *next;
    fr_mail_addr *prev;
    char *addr; /* null in the head */
};

struct mail_header {
    mail_header *next;
    char *name;
    char *value;
};

struct mail_mta {
    char *dir;
    char *prog;
    char **argv; /* argv[0] is prog; null-terminated */
};

struct fr_mail_att {
    mail_codec codec;
    fr_mail_att *next;
    fr_mail_att *prev;
    fr_mail *owner;
    char *path;
    char *type;
    int inline_flag;
    int cid;
};

struct fr_mail {
    mail_codec codec;
    fr_mail_addr *to;
    fr_mail_addr *cc;
    fr_mail_addr *bcc;
    mail_header *headers; /* in the order added */
    mail_header *headers_tail;
    fr_mail_att *atts; /* in the order added */
    fr_mail_att *atts_tail;
    mail_mta *mta;
    char *from_name;
    char *from_addr;
    char *retpath;
    char *subject;
    char *notify;
    char *body;
    char *altbody;
    char *type;
    char *charset;
    int priority;
    int hdr_encoding;
    int next_cid;
    fr_alloc_api api;
    fr_object_header hdr;
};

/* Sets a codec from its code (0 base64 ... 5 binary); 0, or -1. */
int mail_set_codec(mail_codec *codec, int code);
/* The RFC 2047 form of a header text, laid out on lines of at most 76
 * characters (CRLF and a space between lines) after `used` characters of
 * the header's first line: a subject (phrase false) as encoded words, a
 * display name (phrase true) as plain words and encoded words. Encoded
 * words hold at most 75 characters and split only between whole UTF-8
 * characters; line breaks of a subject are encoded, those of a name become
 * spaces. *end_line receives the length of the last line. Null when the
 * charset leaves no room or memory runs out; free() the result. */
char *mail_encode_header(const char *text, const char *charset, bool phrase, size_t used, size_t *end_line);
/* After fr_mail_send_direct: a new libESMTP session and message for the
 * SMTP record (its recipients and stream are dropped, its settings kept),
 * so that the record can carry the next message. 0, or -1. */
int smtp_forget_message(fr_smtp_t *smtp);
/* True when s holds a CR or an LF. */
bool mail_has_line_break(const char *s);

#endif
