#include "api/session_record.h"

#include <functional>
#include <mutex>
#include <new>
#include <unordered_map>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/session_internal.h"

namespace vexa {

namespace {

struct SessionRegistry {
  std::mutex lock;
  std::unordered_map<const Session*, uint64_t, std::hash<const Session*>,
                     std::equal_to<const Session*>,
                     ApiAllocator<std::pair<const Session* const, uint64_t>>>
      live;
  uint64_t next_generation = 1;
};

// Built on first use: no static initialiser runs at load time.
SessionRegistry& registry() {
  static SessionRegistry* instance = new SessionRegistry();
  return *instance;
}

}  // namespace

uint64_t session_link_register(Session* session) {
  if (session == nullptr) return 0;
  SessionRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  const uint64_t generation = r.next_generation;
  try {
    r.live[session] = generation;
  } catch (const std::bad_alloc&) {
    return 0;  // the map is unchanged: an insert that throws leaves no entry behind
  }
  ++r.next_generation;
  return generation;
}

void session_link_retire(Session* session) {
  if (session == nullptr) return;
  SessionRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.live.erase(session);
}

uint64_t session_link_generation(const Session* session) {
  if (session == nullptr) return 0;
  SessionRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  const auto it = r.live.find(session);
  return it == r.live.end() ? 0 : it->second;
}

bool session_report_error_if_live(Session* session, uint64_t generation, uint32_t code,
                                  std::string_view message) {
  if (session == nullptr || generation == 0) return false;
  SessionRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  const auto it = r.live.find(session);
  if (it == r.live.end() || it->second != generation) return false;
  session_set_error(session, code, message);
  return true;
}

}  // namespace vexa
