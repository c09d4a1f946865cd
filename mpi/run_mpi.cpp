// Distributed scan. Every process handles its block of lines in ascending
// order, one line per round; after each round one MPI_Allreduce yields the
// first failing line F of the whole job so far and the lowest line P still
// pending on any process. A process goes on only with lines below F, so after
// a failure every line before F is still completed, and the job ends when no
// line below F is pending. All collectives are reached by every process in
// the same sequence whatever fails where, so no process waits for another
// that has stopped.
#include "mpi/run_mpi.hpp"

#include <climits>
#include <cstdio>
#include <optional>
#include <string>

#include "driver/control_file.hpp"
#include "driver/line_blocks.hpp"
#include "driver/options.hpp"
#include "driver/progress.hpp"
#include "driver/scanline.hpp"
#include "driver/scene_files.hpp"
#include "mpi/broadcast_control.hpp"

namespace kov {
namespace {

void diagnose(int rank, const std::string& msg) {
  std::fflush(stdout);
  std::fprintf(stderr, "kovarind-mpi: rank %d: %s\n", rank, msg.c_str());
  std::fflush(stderr);
}

// Collective: s on every process becomes s of root.
void bcast_status(Status& s, int root, MPI_Comm comm) {
  int head[2] = {static_cast<int>(s.code), static_cast<int>(s.msg.size())};
  MPI_Bcast(head, 2, MPI_INT, root, comm);
  s.code = static_cast<Code>(head[0]);
  s.msg.resize(static_cast<std::size_t>(head[1]));
  if (head[1] > 0) MPI_Bcast(s.msg.data(), head[1], MPI_CHAR, root, comm);
}

// Collective: true when s is ok on every process; otherwise process 0
// reports the failure of the lowest failing rank and every process gets false.
bool agree(const Status& s, int rank, MPI_Comm comm) {
  int mine = s.ok() ? INT_MAX : rank, first = INT_MAX;
  MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm);
  if (first == INT_MAX) return true;
  Status f = s;
  bcast_status(f, first, comm);
  if (rank == 0) diagnose(first, f.msg);
  return false;
}

int usage_error(Build build, int rank, const std::string& msg) {
  const std::string name = program_name(build, true);
  if (rank == 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", name.c_str(), msg.c_str(), name.c_str());
  }
  return 2;
}

}  // namespace

int run_program_mpi(Build build, const std::vector<std::string>& args, MPI_Comm comm) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  // Every rank parses the same arguments and comes to the same end.
  Options o;
  const std::string bad = parse_options(args, o);
  if (!bad.empty()) return usage_error(build, rank, bad);
  if (o.help || o.version) {
    if (rank != 0) return 0;
    const std::string text = o.help ? usage_text(build, true)
                                    : program_name(build, true) + " " + kVersion + "\n";
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::string failed = apply_options(o);
  if (!agree(failed.empty() ? Status() : Status(Code::kIo, failed), rank, comm)) return 1;
  return run_scene_mpi(build, comm, o.run);
}

int run_scene_mpi(Build build, MPI_Comm comm, const RunOptions& opt) {
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);

  Control c;
  Status s;
  if (rank == 0) {
    s = read_control_file("cntl.dat", build, c, stdout);
    std::fflush(stdout);
  }
  bcast_status(s, 0, comm);
  if (!s.ok()) {
    if (rank == 0) diagnose(0, s.msg);
    return 1;
  }
  broadcast_control(c, 0, comm);
  const std::string outside = check_line_range(opt, c.nline);
  if (!outside.empty()) return usage_error(build, rank, outside);
  // The protocol below numbers the selected lines 1..count; `base` turns
  // such a number into the line of the scene.
  const int base = opt.first > 0 ? opt.first - 1 : 0;
  const int count = opt.first > 0 ? opt.last - opt.first + 1 : c.nline;

  std::optional<PixelModel> model;
  std::optional<LineBuffers> buffers;
  if (!agree(allocate_scan(c, model, buffers), rank, comm)) return 1;
  LineBuffers& b = *buffers;

  // Inputs on every process before any product exists; then process 0
  // creates the products and the others open what it created.
  SceneFiles fs;
  bool opened = agree(fs.open_inputs(c), rank, comm);
  if (opened) opened = agree(rank == 0 ? fs.open_products(c) : Status(), rank, comm);
  if (opened) opened = agree(rank != 0 ? fs.open_products(c) : Status(), rank, comm);
  if (!opened) {
    fs.close_all();
    return 1;
  }

  const LineBlock block = line_block(count, rank, ranks);
  int reported = 0;
  const auto report = [&](const Status& st) {
    diagnose(rank, st.msg);
    reported = 1;
  };

  int next = block.first;  // the next line of this block
  int first_fail = INT_MAX;
  Status failure;  // this process's failure, at line first_fail or later
  int printed = 0;
  for (;;) {
    int failed_line = INT_MAX;
    if (next < block.end && next < first_fail) {
      s = read_line(base + next, c, fs, b);
      if (s.ok()) {
        process_line(c, *model, b);
        s = write_line(base + next, c, fs, b, report);
      }
      if (s.ok()) {
        ++next;
      } else {
        failed_line = next;
        failure = s;
        next = block.end;
      }
    }
    const int mine[2] = {failed_line, next < block.end ? next : INT_MAX};
    int all[2];
    MPI_Allreduce(mine, all, 2, MPI_INT, MPI_MIN, comm);
    if (all[0] < first_fail) first_fail = all[0];
    const int pending = all[1];
    // Every line below both F and P is complete.
    if (rank == 0 && build == Build::kFull && !opt.quiet) {
      const int done = (pending < first_fail ? pending : first_fail) - 1;
      const int upto = done < count ? done : count;
      for (; printed < upto; ++printed) {
        std::fputs(progress_line(printed + 1, count).c_str(), stdout);
      }
      std::fflush(stdout);
    }
    if (pending >= first_fail) break;
  }

  if (first_fail != INT_MAX) {
    const int owner = line_owner(first_fail, count, ranks);
    bcast_status(failure, owner, comm);
    if (rank == 0) {
      if (build == Build::kFull && !opt.quiet) {
        std::fputs(progress_line(first_fail, count).c_str(), stdout);
      }
      if (failure.code == Code::kTopBit) std::printf(" %d %d\n", c.nline, c.npix);
      diagnose(owner, failure.msg);
    }
    fs.close_all();
    return 1;
  }

  const bool closed = agree(fs.close_all(), rank, comm);
  int any_reported = 0;
  MPI_Allreduce(&reported, &any_reported, 1, MPI_INT, MPI_MAX, comm);
  if (!closed) return 1;
  if (rank == 0) {
    std::fputs(" Program Deadified\n", stdout);
    if (std::fflush(stdout) != 0) return 1;
  }
  return any_reported ? 1 : 0;
}

}  // namespace kov
