/* Runs one program the way qmail-smtpd runs its queue program and says
 * what it cost:
 *
 *   measure [-c CPU] [-f CPU] MESSAGE ENVELOPE DIR PROGRAM [ARG]...
 *
 * PROGRAM starts in DIR with a pipe on descriptor 0 that a feeder process
 * fills from the file MESSAGE, and a pipe on descriptor 1 that holds the
 * bytes of the file ENVELOPE. -c pins PROGRAM (and so its children) to
 * one CPU, -f the feeder to another. Prints one line:
 *
 *   exit=N cpu_us=N wall_us=N maxrss_kib=N
 *
 * cpu and maxrss come from wait4 on PROGRAM: on Linux that is the
 * process's own usage together with that of the children it waited for
 * (its queue program): times are summed, maxrss is the largest single
 * process. The feeder is a sibling and is not counted. This program is
 * kept small and static because the kernel also records the caller's
 * resident size at the child's exec into the child's maxrss. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static char envelope[65536];

static long long now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static void fail(const char *what) {
  perror(what);
  _exit(100);
}

/* The message into the pipe; page references where the kernel can. */
static void feed(int file, int pipe_fd) {
  char chunk[65536];
  for (;;) {
    ssize_t n = splice(file, NULL, pipe_fd, NULL, 1 << 20, SPLICE_F_MOVE);
    if (n == 0) _exit(0);
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EINVAL) _exit(1);
    break;
  }
  for (;;) {
    ssize_t n = read(file, chunk, sizeof chunk);
    if (n == 0) _exit(0);
    if (n < 0) _exit(1);
    for (ssize_t off = 0; off < n;) {
      ssize_t w = write(pipe_fd, chunk + off, (size_t)(n - off));
      if (w <= 0) _exit(1);
      off += w;
    }
  }
}

static void pin(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) < 0) fail("sched_setaffinity");
}

int main(int argc, char **argv) {
  int run_cpu = -1, feeder_cpu = -1;
  while (argc > 2 && argv[1][0] == '-') {
    if (argv[1][1] == 'c') run_cpu = atoi(argv[2]);
    else if (argv[1][1] == 'f') feeder_cpu = atoi(argv[2]);
    else break;
    argc -= 2;
    argv += 2;
  }
  if (argc < 5) {
    fprintf(stderr, "usage: measure [-c CPU] [-f CPU] MESSAGE ENVELOPE DIR PROGRAM [ARG]...\n");
    return 100;
  }
  int message = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (message < 0) fail(argv[1]);
  int env_file = open(argv[2], O_RDONLY);
  if (env_file < 0) fail(argv[2]);
  ssize_t envlen = read(env_file, envelope, sizeof envelope);
  if (envlen < 0 || envlen == (ssize_t)sizeof envelope) fail("envelope");
  close(env_file);

  int pm[2], pe[2];
  if (pipe2(pm, O_CLOEXEC) < 0 || pipe2(pe, O_CLOEXEC) < 0) fail("pipe");
  /* The envelope fits the pipe, so it can wait there from the start. */
  if (write(pe[1], envelope, (size_t)envlen) != envlen) fail("envelope pipe");
  close(pe[1]);

  pid_t feeder = fork();
  if (feeder < 0) fail("fork");
  if (feeder == 0) {
    pin(feeder_cpu);
    close(pm[0]);
    feed(message, pm[1]);
  }
  close(pm[1]);
  close(message);

  const long long t0 = now_us();
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    pin(run_cpu);
    if (dup2(pm[0], 0) < 0 || dup2(pe[0], 1) < 0) _exit(126);
    if (chdir(argv[3]) < 0) _exit(126);
    execv(argv[4], argv + 4);
    _exit(127);
  }
  close(pm[0]);
  close(pe[0]);
  int status;
  struct rusage ru;
  while (wait4(pid, &status, 0, &ru) < 0)
    if (errno != EINTR) fail("wait4");
  const long long wall = now_us() - t0;
  while (waitpid(feeder, NULL, 0) < 0 && errno == EINTR) {
  }

  const long long cpu = (long long)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000 +
                        ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
  printf("exit=%d cpu_us=%lld wall_us=%lld maxrss_kib=%ld\n",
         WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu, wall,
         ru.ru_maxrss);
  return 0;
}
