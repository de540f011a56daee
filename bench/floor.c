/* The floor of the disk benchmark: the least work that makes the same output
 * as the module's disk helpers, with nothing else around it (no temporary
 * name, no rename, no mode, no signal checks, no error texts).
 *
 *   floor copy SOURCE TARGET   reads 1 MiB chunks at explicit offsets, skipping
 *                              whole chunks of the source's holes, and writes
 *                              every chunk that is not all zero bytes; then sets
 *                              the source's length
 *   floor zstd SOURCE TARGET   decodes a zstd stream into pieces of at most
 *                              1 MiB, ending where the output is full, where the
 *                              buffered input runs out or where a frame ends,
 *                              and writes every piece that is not all zero
 *                              bytes; then sets the decoded length
 *
 * The chunks and pieces, so the holes, are those of the module, and so the
 * output is identical byte for byte and hole for hole.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#define CHUNK (1u << 20)

static void die(const char* what) {
    perror(what);
    exit(1);
}

static int all_zero(const char* data, size_t length) {
    return length == 0 || (data[0] == 0 && memcmp(data, data + 1, length - 1) == 0);
}

static void write_at(int fd, const char* data, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = pwrite(fd, data, length, offset);
        if (n < 0) die("pwrite");
        data += n;
        length -= (size_t)n;
        offset += n;
    }
}

static void copy(int in, int out) {
    struct stat info;
    if (fstat(in, &info) != 0) die("fstat");
    char* buffer = malloc(CHUNK);
    if (buffer == NULL) die("malloc");
    off_t position = 0, data_end = 0;
    for (;;) {
        if (position >= data_end) {
            off_t data = lseek(in, position, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) break;
                die("lseek");
            }
            data_end = lseek(in, data, SEEK_HOLE);
            position += (data - position) / CHUNK * CHUNK;
        }
        ssize_t n = pread(in, buffer, CHUNK, position);
        if (n < 0) die("pread");
        if (n == 0) break;
        if (!all_zero(buffer, (size_t)n)) write_at(out, buffer, (size_t)n, position);
        position += n;
    }
    if (ftruncate(out, info.st_size) != 0) die("ftruncate");
    free(buffer);
}

static void zstd(int in, int out) {
    size_t in_size = ZSTD_DStreamInSize();
    char *input = malloc(in_size), *output = malloc(CHUNK);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    if (input == NULL || output == NULL || context == NULL) die("malloc");
    ZSTD_inBuffer in_buf = {input, 0, 0};
    int finished = 0;
    off_t position = 0;
    for (;;) {
        ZSTD_outBuffer out_buf = {output, CHUNK, 0};
        ZSTD_inBuffer nothing = {NULL, 0, 0};
        size_t result = ZSTD_decompressStream(context, &out_buf, &nothing);
        if (ZSTD_isError(result)) goto bad;
        if (result == 0) finished = 1;
        while (out_buf.pos == 0) {
            if (in_buf.pos == in_buf.size) {
                ssize_t n = read(in, input, in_size);
                if (n < 0) die("read");
                if (n == 0) {
                    if (!finished) goto bad;
                    if (ftruncate(out, position) != 0) die("ftruncate");
                    ZSTD_freeDCtx(context);
                    free(input);
                    free(output);
                    return;
                }
                in_buf.size = (size_t)n;
                in_buf.pos = 0;
            }
            if (finished) {
                ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
                finished = 0;
            }
            result = ZSTD_decompressStream(context, &out_buf, &in_buf);
            if (ZSTD_isError(result)) goto bad;
            finished = result == 0;
        }
        if (!all_zero(output, out_buf.pos)) write_at(out, output, out_buf.pos, position);
        position += (off_t)out_buf.pos;
    }
bad:
    fprintf(stderr, "zstd: bad stream\n");
    exit(1);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: floor copy|zstd SOURCE TARGET\n");
        return 2;
    }
    int in = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (in < 0) die(argv[2]);
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) die(argv[3]);
    if (strcmp(argv[1], "copy") == 0)
        copy(in, out);
    else if (strcmp(argv[1], "zstd") == 0)
        zstd(in, out);
    else
        return 2;
    if (close(out) != 0) die("close");
    return 0;
}
