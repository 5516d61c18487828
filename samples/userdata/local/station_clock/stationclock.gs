// A clock that keeps the hour it was started at and moves on one hour a call.
include "RovanaGameObject.gs"

class StationClock isclass RovanaGameObject
{
  int m_hour;

  public void Init(Asset self)
  {
    m_hour = 12;
  }

  public int Advance(void)
  {
    m_hour = m_hour % 12 + 1;
    return m_hour;
  }
};
