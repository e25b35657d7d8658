/* Floors for the benchmark: the least work that vaskel's diagnostic output
 * (and, for the XML export, its returned text) can cost on this machine.
 *
 *   write_floor lines FILE [REPS]
 *       Reads FILE, a captured trace (lines ended by a line feed), into memory
 *       and writes it to /dev/null with one write(2) per line, line feed
 *       included, straight from the file's buffer: no formatting, no copy.
 *       That is what vaskel.engine must at least do for the same trace.
 *
 *   write_floor xml FILE [REPS] [OUT]
 *       FILE holds the leaves of a one-level tree, one per line (the leaves
 *       must hold no CR or LF, which no token does). Each repetition writes the diagnostic line
 *       "lvl : 0 ; i : I" of every leaf to /dev/null with one write(2) per line,
 *       and builds the XML text of the tree in one pass into a single buffer
 *       sized in advance from the file's size: root tag, then per leaf the indented chunk element
 *       with its text escaped (& < > ' ") and its first CDATA section kept. It
 *       is the same text that Tree(leaves).to_xml() returns; with OUT given,
 *       the text of the last repetition is written there so the caller can
 *       check that. The renderer knows the shape of the tree in advance, so
 *       this is a floor, not a general writer.
 *
 * Only the timed loop is measured (CLOCK_MONOTONIC around it, reading the file
 * excluded). Prints one line per repetition: the elapsed seconds.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char *read_file(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        perror(path);
        exit(2);
    }
    size_t cap = 1 << 20, len = 0;
    char *buf = malloc(cap);
    for (;;) {
        if (len == cap) {
            cap *= 2;
            buf = realloc(buf, cap);
        }
        size_t n = fread(buf + len, 1, cap - len, f);
        if (n == 0) break;
        len += n;
    }
    fclose(f);
    *size = len;
    return buf;
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            perror("write");
            exit(2);
        }
        p += w;
        n -= (size_t)w;
    }
}

/* The offsets where each of the *count lines of buf starts, and one past
   the last line's line feed; found once, outside the timed loops. */
static size_t *line_starts(const char *buf, size_t size, size_t *count) {
    size_t n = 0;
    for (size_t k = 0; k < size; ++k) n += buf[k] == '\n';
    size_t *start = malloc((n + 1) * sizeof *start);
    size_t c = 0;
    start[c++] = 0;
    for (size_t k = 0; k < size; ++k)
        if (buf[k] == '\n') start[c++] = k + 1;
    *count = n;
    return start;
}

/* ---- lines ---- */

static int floor_lines(const char *path, int reps) {
    size_t size;
    char *buf = read_file(path, &size);
    size_t count;
    size_t *start = line_starts(buf, size, &count);
    int null = open("/dev/null", O_WRONLY);
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        for (size_t k = 0; k < count; ++k) write_all(null, buf + start[k], start[k + 1] - start[k]);
        printf("%.9f\n", now() - t0);
    }
    close(null);
    free(start);
    free(buf);
    return 0;
}

/* ---- xml ---- */

struct out {
    char *p;
    size_t len, cap;
};

static void grow(struct out *o, size_t need) {
    if (o->len + need <= o->cap) return;
    while (o->len + need > o->cap) o->cap = o->cap ? o->cap * 2 : 4096;
    o->p = realloc(o->p, o->cap);
}

static void put(struct out *o, const char *s, size_t n) {
    grow(o, n);
    memcpy(o->p + o->len, s, n);
    o->len += n;
}

static void put_escaped(struct out *o, const char *s, size_t n) {
    size_t run = 0;
    for (size_t k = 0; k < n; ++k) {
        const char *e = NULL;
        switch (s[k]) {
            case '&': e = "&amp;"; break;
            case '<': e = "&lt;"; break;
            case '>': e = "&gt;"; break;
            case '\'': e = "&apos;"; break;
            case '"': e = "&quot;"; break;
            default: continue;
        }
        put(o, s + run, k - run);
        put(o, e, strlen(e));
        run = k + 1;
    }
    put(o, s + run, n - run);
}

static const char *find(const char *s, size_t n, const char *needle) {
    size_t m = strlen(needle);
    for (size_t k = 0; k + m <= n; ++k)
        if (memcmp(s + k, needle, m) == 0) return s + k;
    return NULL;
}

/* Leaf text: escaped, except its first complete CDATA section. */
static void put_text(struct out *o, const char *s, size_t n) {
    const char *open = memchr(s, '<', n) ? find(s, n, "<![CDATA[") : NULL;
    const char *close = open ? find(open, n - (size_t)(open - s), "]]>") : NULL;
    if (close == NULL) {
        put_escaped(o, s, n);
        return;
    }
    const char *end = close + 3;
    put_escaped(o, s, (size_t)(open - s));
    put(o, open, (size_t)(end - open));
    put_escaped(o, end, n - (size_t)(end - s));
}

/* Decimal digits of v at p, without a terminator; returns their count. */
static size_t put_decimal(char *p, size_t v) {
    char tmp[24];
    size_t n = 0;
    do {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t k = 0; k < n; ++k) p[k] = tmp[n - 1 - k];
    return n;
}

static int floor_xml(const char *path, int reps, const char *out_path) {
    size_t size;
    char *buf = read_file(path, &size);
    size_t count;
    size_t *start = line_starts(buf, size, &count);
    int null = open("/dev/null", O_WRONLY);
    struct out o = {0};
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        free(o.p);
        o = (struct out){0};
        if (count == 0) {
            put(&o, "<test/>", 7);
        } else {
            /* Sized once for the whole text (22 bytes of markup per leaf
             * plus its text, escaping aside), so the buffer does not regrow. */
            grow(&o, size + count * 24 + 16);
            put(&o, "<test>", 6);
            char line[48] = "lvl : 0 ; i : ";
            const size_t prefix = 14;
            for (size_t k = 0; k < count; ++k) {
                size_t n = prefix + put_decimal(line + prefix, k);
                line[n++] = '\n';
                write_all(null, line, n);
                const size_t n_text = start[k + 1] - start[k] - 1;
                if (n_text == 0) {
                    /* An empty text is an empty content: no line between the tags. */
                    put(&o, "\n\t<chunk>\n\t</chunk>", 19);
                    continue;
                }
                put(&o, "\n\t<chunk>\n\t\t", 12);
                put_text(&o, buf + start[k], n_text);
                put(&o, "\n\t</chunk>", 10);
            }
            put(&o, "\n</test>", 8);
        }
        printf("%.9f\n", now() - t0);
    }
    if (out_path != NULL) {
        FILE *f = fopen(out_path, "wb");
        if (f == NULL) {
            perror(out_path);
            return 2;
        }
        fwrite(o.p, 1, o.len, f);
        fclose(f);
    }
    free(o.p);
    close(null);
    free(start);
    free(buf);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s lines FILE [REPS] | xml FILE [REPS] [OUT]\n", argv[0]);
        return 2;
    }
    int reps = argc > 3 ? atoi(argv[3]) : 1;
    if (reps < 1) reps = 1;
    if (strcmp(argv[1], "lines") == 0) return floor_lines(argv[2], reps);
    if (strcmp(argv[1], "xml") == 0) return floor_xml(argv[2], reps, argc > 4 ? argv[4] : NULL);
    fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
