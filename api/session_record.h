// The session record as far as outputs and post-processing need it. The session work grows
// this record; the error fields stay last.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

struct Session {
  uint32_t error_code;
  char error_message[256];
  uint64_t error_message_len;
};

// Outputs may outlive the session that filled them, so they never hold a bare pointer they
// would write through. A session is registered when it is created and retired before its
// record is freed; an output remembers the session with the generation it had then.
uint64_t session_link_register(Session* session);
void session_link_retire(Session* session);
// The generation of a registered session, 0 when it is not live.
uint64_t session_link_generation(const Session* session);
// Writes the error into the session when it is still the live one the output saw; false when
// it is gone. The registry lock is held while writing, so a concurrent retire waits.
bool session_report_error_if_live(Session* session, uint64_t generation, uint32_t code,
                                  std::string_view message);

}  // namespace vexa
