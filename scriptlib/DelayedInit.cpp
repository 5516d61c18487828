#include "scriptlib/DelayedInit.h"

#include <algorithm>

void DelayedInitManager::Add(DelayedInitClient& client) {
  if ((client.m_flags & DelayedInitClient::kAllStagesDone) == DelayedInitClient::kAllStagesDone) return;
  if (client.m_flags & DelayedInitClient::kQueued) return;
  client.m_flags |= DelayedInitClient::kQueued;
  m_clients.push_back(&client);
}

void DelayedInitManager::Remove(DelayedInitClient& client) {
  if (!(client.m_flags & DelayedInitClient::kQueued)) return;
  auto it = m_clients.end();
  if (!m_clients.empty() && m_clients.back() == &client)
    it = m_clients.end() - 1;
  else
    it = std::find(m_clients.begin(), m_clients.end(), &client);
  if (it != m_clients.end()) {
    if (m_running)
      *it = nullptr;
    else
      m_clients.erase(it);
  }
  client.m_flags &= static_cast<uint8_t>(~DelayedInitClient::kQueued);
}

void DelayedInitManager::Complete(DelayedInitClient& client) {
  if (!(client.m_flags & DelayedInitClient::kStage1Done)) client.Stage1();
  if (!(client.m_flags & DelayedInitClient::kStage2Done)) client.Stage2();
  if (!(client.m_flags & DelayedInitClient::kStage3Done)) client.Stage3();
  Remove(client);
}

void DelayedInitManager::RunPending() {
  if (m_running) return;  // a stage that runs the walk again joins the walk under way
  m_running = true;
  for (size_t i = 0; i < m_clients.size(); ++i) {
    // A stage may withdraw this client or any other; check before each stage.
    DelayedInitClient* client = m_clients[i];
    if (client && !(client->m_flags & DelayedInitClient::kStage1Done)) client->Stage1();
    client = m_clients[i];
    if (client && !(client->m_flags & DelayedInitClient::kStage2Done)) client->Stage2();
    client = m_clients[i];
    if (client && !(client->m_flags & DelayedInitClient::kStage3Done)) client->Stage3();
    client = m_clients[i];
    if (client) Remove(*client);
  }
  m_running = false;
  std::erase(m_clients, nullptr);
}

size_t DelayedInitManager::QueuedCount() const {
  return static_cast<size_t>(
      std::count_if(m_clients.begin(), m_clients.end(), [](auto* c) { return c != nullptr; }));
}
