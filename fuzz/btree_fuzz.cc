// A B+ tree index file whose header (and pages) are any bytes: opening it must refuse or
// accept it without harm.
#include "fuzz/fuzz_target.h"
#include "fuzz/scratch_file.h"
#include "store/btree.h"

void FuzzBTreeHeader(const uint8_t* data, size_t size) {
  ScratchFile file("btree", data, size);
  BTreeFile tree;
  if (tree.Open(file.path().c_str())) tree.Close();
}

PELLARY_FUZZ_TARGET(FuzzBTreeHeader)
