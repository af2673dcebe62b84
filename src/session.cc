#include "session.h"

#include "actions.h"
#include "coex.h"
#include "prerequisites.h"
#include "seq.h"
#include "store.h"
#include "string_table.h"
#include "tsd.h"

session_t::session_t()
    : store(std::make_unique<cab_t>()),
      seqs(std::make_unique<seqs_t>()),
      strings(std::make_unique<string_table_set_t>()),
      tsd(std::make_unique<TSD>(this)),
      media(&tsd_media_hooks) {}

session_t::~session_t() = default;
