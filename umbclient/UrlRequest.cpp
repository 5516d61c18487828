#include "umbclient/UrlRequest.h"

#include "foundation/Stream.h"
#include "umbclient/OpenDatabase.h"
#include "umbclient/Internal.h"

std::unique_ptr<UMBUrlRequest> UMBUrlRequest::Start(const UrlParts& url, uint32_t mode) {
  TBuffer body, reply;
  WriteUrlRecord(body, url);
  body.WriteU32(mode);
  if (!UMBExecuteTransaction(UMBRequest::UrlStart, body, reply)) return nullptr;
  uint32_t id = reply.ReadU32();
  if (reply.GetError()) return nullptr;
  return std::unique_ptr<UMBUrlRequest>(new UMBUrlRequest(id));
}

UMBUrlRequest::~UMBUrlRequest() { Close(); }

bool UMBUrlRequest::Poll() {
  if (m_status != kStatusPending) return true;
  TBuffer body, reply;
  body.WriteU32(m_id);
  if (m_closed || !UMBExecuteTransaction(UMBRequest::UrlPoll, body, reply)) {
    m_status = 1;
    return true;
  }
  bool finished = reply.ReadBool();
  uint32_t status = reply.ReadU32();
  if (reply.GetError()) {
    m_status = 1;
    return true;
  }
  if (finished) m_status = status;
  return finished;
}

void UMBUrlRequest::Close() {
  if (m_closed) return;
  m_closed = true;
  TBuffer body;
  body.WriteU32(m_id);
  // The closing request needs no reply.
  (void)UMBPostMessage(UMBRequest::UrlClose, body);
}
