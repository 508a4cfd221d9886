/* pam_tslauth_permit: the account check of who may log in from the directory.
 *
 * Reads /etc/ostrel/tslauth/login-permissions.conf, which libtslauth writes ("permit" = "all"
 * or "listed"; "user.NNN" / "group.NNN" = "ID SID NAME"). Users of the local passwd file and
 * every user while the list permits all get PAM_IGNORE; a listed user, or a member of a listed
 * group (by the host's name service), PAM_SUCCESS; every other user PAM_PERM_DENIED, logged.
 * An account is matched by its UID or GID when the library recorded one (so that a renamed
 * directory group keeps its members), else by name. A list file that is not a regular file
 * owned by root and writable by root alone, that is too large or that does not parse refuses
 * every directory user. Provider-neutral: it asks nothing but the name service. */
#define _GNU_SOURCE /* getgrouplist, O_NOFOLLOW, O_CLOEXEC */
#define PAM_SM_ACCOUNT
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#define LIST_FILE "/etc/ostrel/tslauth/login-permissions.conf"
#define PASSWD_FILE "/etc/passwd"
#define MOST_BYTES 65536
#define MOST_GROUPS 65536

enum verdict { PERMIT_ALL, LISTED, BROKEN };

/* Reads the whole file into buffer (NUL-terminated); -1 with errno when it cannot, -2 when it
 * is not a file root alone can write or is larger than MOST_BYTES - 1. */
static int read_list(char* buffer) {
    int fd = open(LIST_FILE, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != 0 ||
        (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 || status.st_size >= MOST_BYTES) {
        close(fd);
        return -2;
    }
    size_t length = 0;
    for (;;) {
        ssize_t got = read(fd, buffer + length, MOST_BYTES - 1 - length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        if (got == 0) break;
        length += (size_t)got;
        if (length == MOST_BYTES - 1) {
            close(fd);
            return -2;
        }
    }
    close(fd);
    buffer[length] = '\0';
    return 0;
}

/* Blanks off both ends, then one outer pair of matching quotes: the library's rules. */
static char* clean(char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    text[length] = '\0';
    if (length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0]) {
        text[length - 1] = '\0';
        ++text;
    }
    return text;
}

/* Is the name a member of the list of GIDs? */
static int among(gid_t const* groups, int count, gid_t gid) {
    for (int i = 0; i < count; ++i)
        if (groups[i] == gid) return 1;
    return 0;
}

/* "ID SID NAME": the ID (-1 for "-") and where the name starts, or NULL. */
static char const* split_value(char* value, long* id) {
    char* sid = strchr(value, ' ');
    if (sid == NULL) return NULL;
    *sid++ = '\0';
    char* name = strchr(sid, ' ');
    if (name == NULL || name[1] == '\0') return NULL;
    ++name;
    if (strcmp(value, "-") == 0) {
        *id = -1;
        return name;
    }
    char* end = NULL;
    errno = 0;
    long number = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || number < 0) return NULL;
    *id = number;
    return name;
}

/* Whether the user may log in by the list in text (which it cuts into lines); BROKEN for a
 * list that does not parse. Without a user only the verdict is made, nothing is matched. */
static enum verdict judge(char* text, char const* login, struct passwd const* user,
                          gid_t const* groups, int count, int* allowed) {
    int listed = 0, all = 0, seen_permit = 0;
    *allowed = 0;
    for (char* line = text; line != NULL && *line != '\0';) {
        char* next = strchr(line, '\n');
        if (next != NULL) *next++ = '\0';
        char* equals = strchr(line, '=');
        if (equals == NULL) {
            if (strspn(line, " \t") != strlen(line)) return BROKEN;
            line = next;
            continue;
        }
        *equals = '\0';
        char *key = clean(line), *value = clean(equals + 1);
        long id = -1;
        if (strcmp(key, "permit") == 0) {
            if (seen_permit) { /* the first line that names a key wins */
                line = next;
                continue;
            }
            seen_permit = 1;
            if (strcmp(value, "all") == 0)
                all = 1;
            else if (strcmp(value, "listed") == 0)
                listed = 1;
            else
                return BROKEN;
        } else if (strncmp(key, "user.", 5) == 0) {
            char const* name = split_value(value, &id);
            if (name == NULL) return BROKEN;
            /* Unchecked, the name may be the one the user logs in with or the service's. */
            if (user != NULL &&
                (id >= 0 ? (uid_t)id == user->pw_uid
                         : strcasecmp(name, user->pw_name) == 0 || strcasecmp(name, login) == 0))
                *allowed = 1;
        } else if (strncmp(key, "group.", 6) == 0) {
            char const* name = split_value(value, &id);
            if (name == NULL) return BROKEN;
            if (user != NULL && id < 0) {
                struct group const* group = getgrnam(name);
                if (group != NULL) id = (long)group->gr_gid;
            }
            if (user != NULL && id >= 0 && among(groups, count, (gid_t)id)) *allowed = 1;
        } else {
            return BROKEN;
        }
        line = next;
    }
    if (!seen_permit) return BROKEN;
    (void)listed;
    return all ? PERMIT_ALL : LISTED;
}

/* Whether the name is an account of the local passwd file, as pam_localuser decides it. */
static int is_local(char const* name) {
    FILE* file = fopen(PASSWD_FILE, "re");
    if (file == NULL) return 0;
    size_t length = strlen(name);
    char line[4096];
    int found = 0;
    while (!found && fgets(line, sizeof line, file) != NULL) {
        size_t got = strlen(line);
        /* The rest of an overlong line is skipped, never taken for a line of its own. */
        int whole = got > 0 && line[got - 1] == '\n';
        found = strncmp(line, name, length) == 0 && line[length] == ':';
        while (!whole && fgets(line, sizeof line, file) != NULL) {
            got = strlen(line);
            whole = got > 0 && line[got - 1] == '\n';
        }
    }
    fclose(file);
    return found;
}

__attribute__((visibility("default"))) int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc,
                                                            char const** argv) {
    (void)flags;
    (void)argc;
    (void)argv;
    char const* name = NULL;
    if (pam_get_item(pamh, PAM_USER, (void const**)&name) != PAM_SUCCESS || name == NULL ||
        name[0] == '\0' || strchr(name, ':') != NULL || strchr(name, '\n') != NULL) {
        return PAM_USER_UNKNOWN;
    }
    if (is_local(name)) return PAM_IGNORE;

    char* text = malloc(MOST_BYTES);
    if (text == NULL) return PAM_BUF_ERR;
    int const read = read_list(text);
    if (read == -1 && errno == ENOENT) { /* no list: everyone, as after a join */
        free(text);
        return PAM_IGNORE;
    }
    if (read != 0) {
        pam_syslog(pamh, LOG_ERR, "refusing %s: " LIST_FILE " %s", name,
                   read == -2 ? "is not a file that root alone can write, or is too large"
                              : "cannot be read");
        free(text);
        return PAM_PERM_DENIED;
    }

    /* A list that permits all, or one that does not parse, needs no name service. */
    char* verdict_text = strdup(text);
    int unused = 0;
    enum verdict const verdict =
        verdict_text == NULL ? BROKEN : judge(verdict_text, name, NULL, NULL, 0, &unused);
    free(verdict_text);
    if (verdict != LISTED) {
        free(text);
        if (verdict == PERMIT_ALL) return PAM_IGNORE;
        pam_syslog(pamh, LOG_ERR, "refusing %s: " LIST_FILE " does not parse", name);
        return PAM_PERM_DENIED;
    }

    struct passwd* user = getpwnam(name);
    if (user == NULL) {
        free(text);
        pam_syslog(pamh, LOG_NOTICE, "refusing %s: unknown to the name service", name);
        return PAM_USER_UNKNOWN;
    }
    /* The name service's answers live in static storage: keep what is needed. */
    struct passwd copy = *user;
    char* user_name = strdup(user->pw_name);
    int count = 64;
    gid_t* groups = malloc(sizeof(gid_t) * (size_t)count);
    while (user_name != NULL && groups != NULL &&
           getgrouplist(user_name, copy.pw_gid, groups, &count) < 0 && count <= MOST_GROUPS) {
        gid_t* more = realloc(groups, sizeof(gid_t) * (size_t)count);
        if (more == NULL) break;
        groups = more;
    }
    int result = PAM_BUF_ERR;
    if (user_name != NULL && groups != NULL && count <= MOST_GROUPS) {
        copy.pw_name = user_name;
        int allowed = 0;
        switch (judge(text, name, &copy, groups, count, &allowed)) {
            case PERMIT_ALL:
                result = PAM_IGNORE;
                break;
            case LISTED:
                result = allowed ? PAM_SUCCESS : PAM_PERM_DENIED;
                if (!allowed)
                    pam_syslog(pamh, LOG_NOTICE,
                               "refusing %s: not among the users and groups permitted to log in",
                               name);
                break;
            case BROKEN:
                pam_syslog(pamh, LOG_ERR, "refusing %s: " LIST_FILE " does not parse", name);
                result = PAM_PERM_DENIED;
                break;
        }
    }
    free(groups);
    free(user_name);
    free(text);
    return result;
}
