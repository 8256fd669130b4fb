// The part of the run after the output stream is chosen. For now the run
// ends here with success; the source options, the paths and the listing
// itself come in here.
#include "cli/run.hpp"

int run_listing(brelvik_opts& opts, arg_list& args, run_state& state) {
    (void)opts;
    (void)args;
    (void)state;
    return 0;
}
