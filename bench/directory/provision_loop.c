/* How fast the DC creates computer accounts for the enrolment service's account, asked as
 * directly as this machine allows; run by bench/directory/compare.sh on the lab's proxy host.
 *
 *   provision_loop MODE PROCESSES CONFIG DOMAIN DC CONTAINER PREFIX COUNT [HELPER]
 *
 * COUNT accounts PREFIX-0001.. are made by PROCESSES processes at once, each taking every
 * PROCESSES-th name. MODE:
 *   direct        each process starts libnetapi once and calls NetProvisionComputerAccount
 *                 against DC for each of its names (libnetapi keeps its connections to the DC);
 *   direct-checked  the same, each name first looked up on the DC (NetUserGetInfo) in the same
 *                 context, as the enrolment service's long-lived helpers do;
 *   direct-fresh  the same as direct with a libnetapi context of its own for each name, as a helper
 *                 process has: new connections to the DC, logged on afresh, each time;
 *   helper        each process runs HELPER once per name with the request the enrolment
 *                 service hands it (descriptor 3), one after the other;
 *   helper-start  the same with a request the helper refuses at once: what starting it costs;
 *   helper-domain-info  the same with the service's domain question: the helper's start, its
 *                 DC look-up and one logged-on directory call, without provisioning, which is
 *                 what a provisioning helper does before NetProvisionComputerAccount.
 * A call that takes longer than kCallSeconds ends its process (SIGALRM): its remaining names
 * count as not made. The credentials come from PROVISION_USER and PROVISION_PASSWORD, never from
 * the command line. Prints one line: how many succeeded, the wall time, the rate and the per-call
 * times; the first failure follows on a line of its own. */
#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
/* netapi.h needs the two headers above first. */
#include <netapi.h>

/* Samba's utility library: the configuration file every Samba library reads. */
extern char const* set_dyn_CONFIGFILE(char const* path);

static unsigned const kCallSeconds = 120;

enum Mode { kDirect, kDirectChecked, kDirectFresh, kHelper, kHelperStart, kHelperDomainInfo };

struct Run {
    enum Mode mode;
    int processes;
    char const* config;
    char const* domain;
    char const* dc;
    char const* container;
    char const* prefix;
    int count;
    char const* helper;
    char const* user;
    char const* password;
};

static double now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

/* One result line to the parent; short enough to be written in one piece. */
static void report(int fd, double ms, long status, char const* text) {
    char line[512];
    int length = snprintf(line, sizeof line, "%ld %.3f %.400s", status, ms, text);
    if (length < 0) return;
    if ((size_t)length >= sizeof line - 1) length = (int)sizeof line - 2;
    for (int i = 0; i < length; ++i) {
        if (line[i] == '\n') line[i] = ' ';
    }
    line[length++] = '\n';
    while (write(fd, line, (size_t)length) < 0 && errno == EINTR) {
    }
}

/* The helper's wire format: "NAME LENGTH\n" VALUE "\n". */
static size_t put_field(char* out, size_t size, size_t at, char const* name, char const* value) {
    int n =
        snprintf(out + at, at < size ? size - at : 0, "%s %zu\n%s\n", name, strlen(value), value);
    return n < 0 ? at : at + (size_t)n;
}

static bool write_all(int fd, char const* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

/* Runs the helper once, as the service does; the status it answered, or -1. */
static long run_helper(struct Run const* run, char const* name, char* error, size_t error_size) {
    char request[4096];
    char host[256];
    size_t at = 0;
    int sockets[2];
    snprintf(error, error_size, "no answer");
    if (run->mode == kHelperStart) {
        at = put_field(request, sizeof request, at, "op", "start-up");
    } else if (run->mode == kHelperDomainInfo) {
        at = put_field(request, sizeof request, at, "config", run->config);
        at = put_field(request, sizeof request, at, "domain", run->domain);
        at = put_field(request, sizeof request, at, "op", "domain-info");
        at = put_field(request, sizeof request, at, "password", run->password);
        at = put_field(request, sizeof request, at, "user", run->user);
    } else {
        snprintf(host, sizeof host, "%s.%s", name, run->domain);
        at = put_field(request, sizeof request, at, "config", run->config);
        at = put_field(request, sizeof request, at, "container", run->container);
        at = put_field(request, sizeof request, at, "domain", run->domain);
        at = put_field(request, sizeof request, at, "host-name", host);
        at = put_field(request, sizeof request, at, "op", "provision");
        at = put_field(request, sizeof request, at, "password", run->password);
        at = put_field(request, sizeof request, at, "user", run->user);
    }
    if (at >= sizeof request) return -1;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        /* As the service runs it: libnetapi's prints go nowhere. */
        int quiet = open("/dev/null", O_WRONLY);
        if (quiet < 0 || dup2(quiet, 1) < 0 || dup2(quiet, 2) < 0) _exit(127);
        if (dup2(sockets[1], 3) < 0) _exit(127);
        execl(run->helper, "tslauth-samba-helper", (char*)NULL);
        _exit(127);
    }
    close(sockets[1]);
    if (pid < 0) {
        close(sockets[0]);
        return -1;
    }
    bool sent = write_all(sockets[0], request, at);
    shutdown(sockets[0], SHUT_WR);
    char answer[65536];
    size_t got = 0;
    while (sent && got < sizeof answer - 1) {
        ssize_t n = read(sockets[0], answer + got, sizeof answer - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    answer[got] = '\0';
    close(sockets[0]);
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
    /* Field by field, so that a value cannot pass for a field's name. */
    long status = -1;
    char* at_field = answer;
    while (at_field < answer + got) {
        char* blank = strchr(at_field, ' ');
        char* end = strchr(at_field, '\n');
        if (blank == NULL || end == NULL || blank > end) break;
        size_t length = strtoul(blank + 1, NULL, 10);
        char* value = end + 1;
        if (length > (size_t)(answer + got - value)) break;
        *blank = '\0';
        if (strcmp(at_field, "status") == 0) status = strtol(value, NULL, 10);
        if (strcmp(at_field, "error") == 0) {
            snprintf(error, error_size, "%s: %.*s", name, (int)length, value);
        }
        at_field = value + length + 1;
    }
    return status;
}

static struct libnetapi_ctx* start_libnetapi(struct Run const* run) {
    struct libnetapi_ctx* context = NULL;
    if (libnetapi_init(&context) != 0) return NULL;
    libnetapi_set_debuglevel(context, "0");
    libnetapi_set_username(context, run->user);
    libnetapi_set_password(context, run->password);
    return context;
}

static long provision_directly(struct libnetapi_ctx* context, struct Run const* run,
                               char const* name, char* error, size_t error_size) {
    if (context == NULL) {
        snprintf(error, error_size, "libnetapi could not start");
        return -1;
    }
    char const* text = NULL;
    NET_API_STATUS result = NetProvisionComputerAccount(run->domain, name, run->container, run->dc,
                                                        0, NULL, NULL, &text);
    if (text != NULL) NetApiBufferFree((void*)text);
    if (result != 0) {
        char* why = libnetapi_get_error_string(context, result);
        snprintf(error, error_size, "%s: %s", name, why != NULL ? why : "?");
        if (why != NULL) NetApiBufferFree(why);
    }
    return (long)result;
}

/* The service's check that the DC has no account of that name yet, in the same context. */
static long check_name(struct libnetapi_ctx* context, struct Run const* run, char const* name,
                       char* error, size_t error_size) {
    char account[80];
    uint8_t* buffer = NULL;
    snprintf(account, sizeof account, "%s$", name);
    NET_API_STATUS result = NetUserGetInfo(run->dc, account, 1, &buffer);
    if (buffer != NULL) NetApiBufferFree(buffer);
    /* NERR_UserNotFound and ERROR_NONE_MAPPED: no such account, as wanted. */
    if (result == 2221 || result == 1332) return 0;
    if (result == 0) {
        snprintf(error, error_size, "%s: the account exists", name);
        return -1;
    }
    char* why = context != NULL ? libnetapi_get_error_string(context, result) : NULL;
    snprintf(error, error_size, "%s: %s", name, why != NULL ? why : "?");
    if (why != NULL) NetApiBufferFree(why);
    return (long)result;
}

static void provision_share(struct Run const* run, int first, int fd) {
    struct libnetapi_ctx* context = NULL;
    if (run->mode == kDirect || run->mode == kDirectChecked || run->mode == kDirectFresh)
        set_dyn_CONFIGFILE(run->config);
    if (run->mode == kDirect || run->mode == kDirectChecked) {
        double started = now_ms();
        context = start_libnetapi(run);
        report(fd, now_ms() - started, -2, "libnetapi_init");
    }
    for (int i = first; i <= run->count; i += run->processes) {
        char name[64];
        char error[256] = "";
        long status;
        snprintf(name, sizeof name, "%s-%04d", run->prefix, i);
        double started = now_ms();
        alarm(kCallSeconds);
        if (run->mode == kDirectChecked) {
            status = check_name(context, run, name, error, sizeof error);
            if (status == 0) status = provision_directly(context, run, name, error, sizeof error);
        } else if (run->mode == kDirect) {
            status = provision_directly(context, run, name, error, sizeof error);
        } else if (run->mode == kDirectFresh) {
            struct libnetapi_ctx* fresh = start_libnetapi(run);
            status = provision_directly(fresh, run, name, error, sizeof error);
            if (fresh != NULL) libnetapi_free(fresh);
        } else {
            status = run_helper(run, name, error, sizeof error);
            /* The helper refuses the start-up request: that is its expected answer. */
            if (run->mode == kHelperStart && status > 0) status = 0;
        }
        alarm(0);
        report(fd, now_ms() - started, status, error);
    }
    if (context != NULL) libnetapi_free(context);
}

static int compare_doubles(void const* a, void const* b) {
    double x = *(double const*)a, y = *(double const*)b;
    return (x > y) - (x < y);
}

static double percentile(double const* sorted, int n, double p) {
    if (n == 0) return 0;
    int at = (int)(p * n + 0.999999) - 1;
    return sorted[at < 0 ? 0 : at >= n ? n - 1 : at];
}

static int usage(void) {
    fprintf(stderr,
            "usage: provision_loop "
            "direct|direct-checked|direct-fresh|helper|helper-start|helper-domain-info "
            "PROCESSES CONFIG DOMAIN DC "
            "CONTAINER PREFIX COUNT [HELPER]\n"
            "       (PROVISION_USER and PROVISION_PASSWORD: the credentials)\n");
    return 2;
}

int main(int argc, char** argv) {
    struct Run run;
    if (argc < 9) return usage();
    if (strcmp(argv[1], "direct") == 0) {
        run.mode = kDirect;
    } else if (strcmp(argv[1], "direct-checked") == 0) {
        run.mode = kDirectChecked;
    } else if (strcmp(argv[1], "direct-fresh") == 0) {
        run.mode = kDirectFresh;
    } else if (strcmp(argv[1], "helper") == 0) {
        run.mode = kHelper;
    } else if (strcmp(argv[1], "helper-start") == 0) {
        run.mode = kHelperStart;
    } else if (strcmp(argv[1], "helper-domain-info") == 0) {
        run.mode = kHelperDomainInfo;
    } else {
        return usage();
    }
    run.processes = atoi(argv[2]);
    run.config = argv[3];
    run.domain = argv[4];
    run.dc = argv[5];
    run.container = argv[6];
    run.prefix = argv[7];
    run.count = atoi(argv[8]);
    run.helper = argc > 9 ? argv[9] : NULL;
    run.user = getenv("PROVISION_USER");
    run.password = getenv("PROVISION_PASSWORD");
    if (run.processes < 1 || run.processes > 256 || run.count < 1 || run.count > 100000 ||
        strlen(run.prefix) > 10 || (run.mode >= kHelper && run.helper == NULL) ||
        run.user == NULL || run.password == NULL) {
        return usage();
    }

    int results[2];
    if (pipe(results) != 0) return 1;
    double started = now_ms();
    for (int p = 1; p <= run.processes; ++p) {
        pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid == 0) {
            close(results[0]);
            provision_share(&run, p, results[1]);
            _exit(0);
        }
    }
    close(results[1]);
    FILE* in = fdopen(results[0], "r");
    if (in == NULL) return 1;
    double* times = calloc((size_t)run.count, sizeof *times);
    if (times == NULL) return 1;
    int done = 0, failed = 0;
    double slowest_start = 0;
    char first_failure[512] = "";
    char line[512];
    while (fgets(line, sizeof line, in) != NULL) {
        char* rest = NULL;
        long status = strtol(line, &rest, 10);
        double ms = strtod(rest, &rest);
        if (status == -2) {
            if (ms > slowest_start) slowest_start = ms;
        } else if (status == 0 && done < run.count) {
            times[done++] = ms;
        } else {
            if (++failed == 1) snprintf(first_failure, sizeof first_failure, "%s", line);
        }
    }
    fclose(in);
    while (wait(NULL) > 0 || errno == EINTR) {
    }
    double wall = now_ms() - started;
    qsort(times, (size_t)done, sizeof *times, compare_doubles);
    printf(
        "%-18s %3d at once: %4d of %4d in %8.0f ms: %7.2f per second "
        "(per call p50 %.0f ms, p99 %.0f ms, max %.0f ms",
        argv[1], run.processes, done, run.count, wall, done * 1000.0 / wall,
        percentile(times, done, 0.5), percentile(times, done, 0.99),
        done > 0 ? times[done - 1] : 0.0);
    if (run.mode == kDirect) printf("; libnetapi_init at most %.0f ms", slowest_start);
    printf(")\n");
    if (failed > 0) printf("  %d failed; the first: %s", failed, first_failure);
    if (done + failed < run.count) printf("  %d not made in time\n", run.count - done - failed);
    free(times);
    return done == run.count ? 0 : 1;
}
