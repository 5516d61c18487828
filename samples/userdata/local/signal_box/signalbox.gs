class SignalBox
{
  int m_trains;

  public void Init(void)
  {
    m_trains = 0;
  }

  public int CountTrain(int cars)
  {
    if (cars > 0)
      m_trains = m_trains + 1;
    return m_trains;
  }
};
