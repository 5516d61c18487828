// A URL fetched on the tool's behalf by the asset database (requests 230, 232, 231).
// There is no network here: the database's stand-in decides each request's status.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/UrlParts.h"

class UMBUrlRequest {
public:
  // QueryStatus before the request has finished.
  static constexpr uint32_t kStatusPending = 0xFFFFFFFFu;

  // Request 230 with the URL record and the mode word; null when no database is open or
  // the request is refused.
  static std::unique_ptr<UMBUrlRequest> Start(const UrlParts& url, uint32_t mode);

  // Closes the request when the caller has not.
  ~UMBUrlRequest();
  UMBUrlRequest(const UMBUrlRequest&) = delete;
  UMBUrlRequest& operator=(const UMBUrlRequest&) = delete;

  // Request 232: whether the request has finished (its status is then known). A request
  // the database no longer knows counts as finished with status 1.
  [[nodiscard]] bool Poll();
  // The status word (0 success); kStatusPending until Poll has seen the end.
  uint32_t QueryStatus() const { return m_status; }
  // Post 231: the database forgets the request. Safe to call twice.
  void Close();

private:
  explicit UMBUrlRequest(uint32_t id) : m_id(id) {}
  uint32_t m_id;
  uint32_t m_status = kStatusPending;
  bool m_closed = false;
};
