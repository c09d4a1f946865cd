// The control values travel as one array of integers, one of doubles and the
// excluded steps; the doubles are sent as they are, bit for bit.
#include "mpi/broadcast_control.hpp"

#include <cstdint>

namespace kov {

void broadcast_control(Control& c, int root, MPI_Comm comm) {
  int n[16] = {c.ndat,  c.nline, c.npix,   c.nfunc, c.ndef,
               c.ispot, c.nwin,  c.intp,   c.select, c.mmsw,
               c.fitsw, c.mask,  c.fitmd,  c.npoint, c.npara,
               static_cast<int>(c.kdef.size())};
  double d[3] = {c.tcld, c.tlo, c.thi};
  MPI_Bcast(n, 16, MPI_INT, root, comm);
  MPI_Bcast(d, 3, MPI_DOUBLE, root, comm);
  c.ndat = n[0];
  c.nline = n[1];
  c.npix = n[2];
  c.nfunc = n[3];
  c.ndef = n[4];
  c.ispot = n[5];
  c.nwin = n[6];
  c.intp = n[7];
  c.select = static_cast<std::int8_t>(n[8]);
  c.mmsw = n[9];
  c.fitsw = static_cast<std::int8_t>(n[10]);
  c.mask = n[11];
  c.fitmd = static_cast<std::int8_t>(n[12]);
  c.npoint = n[13];
  c.npara = n[14];
  c.kdef.resize(static_cast<std::size_t>(n[15]));
  c.tcld = d[0];
  c.tlo = d[1];
  c.thi = d[2];
  if (n[15] > 0) MPI_Bcast(c.kdef.data(), n[15], MPI_INT16_T, root, comm);
}

}  // namespace kov
