/* Runs several commands many times, interleaved round by round, and reports for
 * each the wall time of a run (median, quartiles, 10th and 90th percentile,
 * minimum), the median CPU time (user + system) of a run, the median number of
 * page faults of a run (minor and major, as getrusage counts them: the faults
 * the kernel takes for the process, populating memory included), and the
 * largest peak resident set size of any of its runs.
 *
 *   runner ROUNDS WARMUP SPEC_FILE [SITE_PATH]
 *
 * SPEC_FILE holds one command a line, its fields separated by tabs:
 *   NAME <tab> STDIN_FILE <tab> SITE_SOURCE <tab> PROGRAM <tab> ARG ...
 * PROGRAM is a path (no PATH search). A SITE_SOURCE other than "-" is put in
 * place at SITE_PATH right before each run of its command, by a hard link and
 * a rename (no data is copied, and the time it takes is not counted): zel-auth's
 * site file path is fixed when it is built, so runs over different site files
 * can only be interleaved this way. SITE_SOURCE must be on SITE_PATH's file
 * system. Standard output of every run goes to
 * /dev/null, standard error to /dev/null too. A run that does not exit with
 * status 0 stops the whole measurement, so a broken command can't pass for a
 * fast one.
 *
 * One line of output per command, in microseconds and KiB:
 *   NAME median q1 q3 p10 p90 min maxrss cpu_median faults_median
 * With RUNNER_SAMPLES naming a file in the environment, every measured run is
 * also written there as "ROUND NAME WALL CPU FAULTS", so that runs of the same round
 * can be compared pairwise.
 *
 * The wall time of a run is taken around posix_spawn and wait4: it is what a
 * calling program waits for, process creation and teardown included.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

enum { kMaxCommands = 32, kMaxArgs = 32 };

struct command {
  char *name;
  char *site_source;
  char *argv[kMaxArgs + 1];
  posix_spawn_file_actions_t streams;
  double *samples;
  double *cpu;
  double *faults;
  long maxrss_kb;
};

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static const char *site_path;
static char site_staging[4096];

static int put_site_in_place(const struct command *c) {
  if (c->site_source == NULL) return 0;
  unlink(site_staging);
  if (link(c->site_source, site_staging) != 0 || rename(site_staging, site_path) != 0) {
    fprintf(stderr, "runner: can't put %s at %s: %s\n", c->site_source, site_path, strerror(errno));
    return -1;
  }
  return 0;
}

static int run_once(struct command *c, double *elapsed_us, double *cpu_us, double *faults) {
  if (put_site_in_place(c) != 0) return -1;
  pid_t pid;
  int status = 0;
  struct rusage ru;
  double start = now_us();
  int err = posix_spawn(&pid, c->argv[0], &c->streams, NULL, c->argv, environ);
  if (err != 0) {
    fprintf(stderr, "runner: %s: %s\n", c->name, strerror(err));
    return -1;
  }
  while (wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) return -1;
  }
  *elapsed_us = now_us() - start;
  *cpu_us = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
            (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
  *faults = (double)(ru.ru_minflt + ru.ru_majflt);
  if (ru.ru_maxrss > c->maxrss_kb) c->maxrss_kb = ru.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "runner: %s exited with status %d\n", c->name,
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return -1;
  }
  return 0;
}

static int by_value(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

static double quantile(const double *sorted, int n, double q) {
  double pos = q * (n - 1);
  int lo = (int)pos;
  int hi = lo + 1 < n ? lo + 1 : lo;
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - lo);
}

static int parse_spec(const char *path, struct command *cmds, int rounds) {
  FILE *spec = fopen(path, "r");
  if (spec == NULL) return -1;
  int n = 0;
  char *line = NULL;
  size_t cap = 0;
  while (getline(&line, &cap, spec) > 0) {
    line[strcspn(line, "\n")] = '\0';
    if (line[0] == '\0' || line[0] == '#') continue;
    if (n == kMaxCommands) return -1;
    struct command *c = &cmds[n];
    memset(c, 0, sizeof *c);
    char *save = NULL;
    char *name = strtok_r(line, "\t", &save);
    char *input = strtok_r(NULL, "\t", &save);
    char *site = strtok_r(NULL, "\t", &save);
    if (name == NULL || input == NULL || site == NULL) return -1;
    c->name = strdup(name);
    if (strcmp(site, "-") != 0) {
      if (site_path == NULL) return -1;
      c->site_source = strdup(site);
    }
    int a = 0;
    for (char *tok; a < kMaxArgs && (tok = strtok_r(NULL, "\t", &save)) != NULL;) {
      c->argv[a++] = strdup(tok);
    }
    c->argv[a] = NULL;
    c->samples = calloc((size_t)rounds, sizeof(double));
    c->cpu = calloc((size_t)rounds, sizeof(double));
    c->faults = calloc((size_t)rounds, sizeof(double));
    if (a == 0 || c->samples == NULL || c->cpu == NULL || c->faults == NULL) return -1;
    posix_spawn_file_actions_init(&c->streams);
    posix_spawn_file_actions_addopen(&c->streams, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&c->streams, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&c->streams, 2, "/dev/null", O_WRONLY, 0);
    ++n;
  }
  free(line);
  fclose(spec);
  return n;
}

int main(int argc, char *argv[]) {
  if (argc != 4 && argc != 5) {
    fputs("usage: runner ROUNDS WARMUP SPEC_FILE [SITE_PATH]\n", stderr);
    return 2;
  }
  if (argc == 5) {
    site_path = argv[4];
    snprintf(site_staging, sizeof site_staging, "%s.runner-staging", site_path);
  }
  int rounds = atoi(argv[1]), warmup = atoi(argv[2]);
  static struct command cmds[kMaxCommands];
  int n = rounds > 0 && warmup >= 0 ? parse_spec(argv[3], cmds, rounds) : -1;
  if (n <= 0) {
    fputs("runner: bad arguments or spec file\n", stderr);
    return 2;
  }

  /* Warm-up rounds fill the page cache and settle the CPU; they are not kept. */
  for (int r = 0; r < warmup; ++r) {
    for (int i = 0; i < n; ++i) {
      double t, u, f;
      if (run_once(&cmds[i], &t, &u, &f) != 0) return 1;
    }
  }
  for (int i = 0; i < n; ++i) cmds[i].maxrss_kb = 0;
  FILE *raw = NULL;
  if (getenv("RUNNER_SAMPLES") != NULL && (raw = fopen(getenv("RUNNER_SAMPLES"), "w")) == NULL) {
    perror("runner: RUNNER_SAMPLES");
    return 2;
  }
  /* Each round runs every command once, in an order of its own: what a run
   * leaves behind (a many-process pipeline's teardown, its page cache and CPU
   * caches) slows the run after it, so no command may always follow the same
   * neighbour. A rotating order would do just that: each command but the
   * round's first would follow the one before it in the list, every round. The
   * orders come from a fixed seed, so two runs of the runner agree. */
  int order[kMaxCommands];
  for (int k = 0; k < n; ++k) order[k] = k;
  unsigned long long state = 0x9E3779B97F4A7C15ull;
  for (int r = 0; r < rounds; ++r) {
    for (int k = n - 1; k > 0; --k) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;  /* xorshift64 */
      const int j = (int)(state % (unsigned long long)(k + 1));
      const int t = order[k];
      order[k] = order[j], order[j] = t;
    }
    for (int k = 0; k < n; ++k) {
      struct command *c = &cmds[order[k]];
      if (run_once(c, &c->samples[r], &c->cpu[r], &c->faults[r]) != 0) return 1;
      if (raw != NULL) {
        fprintf(raw, "%d %s %.1f %.1f %.0f\n", r, c->name, c->samples[r], c->cpu[r], c->faults[r]);
      }
    }
  }
  if (raw != NULL && fclose(raw) != 0) return 2;
  for (int i = 0; i < n; ++i) {
    double *s = cmds[i].samples;
    qsort(s, (size_t)rounds, sizeof *s, by_value);
    qsort(cmds[i].cpu, (size_t)rounds, sizeof *s, by_value);
    qsort(cmds[i].faults, (size_t)rounds, sizeof *s, by_value);
    printf("%s %.1f %.1f %.1f %.1f %.1f %.1f %ld %.1f %.1f\n", cmds[i].name, quantile(s, rounds, 0.5),
           quantile(s, rounds, 0.25), quantile(s, rounds, 0.75), quantile(s, rounds, 0.1),
           quantile(s, rounds, 0.9), s[0], cmds[i].maxrss_kb, quantile(cmds[i].cpu, rounds, 0.5),
           quantile(cmds[i].faults, rounds, 0.5));
  }
  return 0;
}
