#include "store/SlicedWork.h"

#include <QElapsedTimer>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace {

qint64 s_sliceMs = 10;

} // namespace

SlicedWork::SlicedWork(QObject* ip_parent) : QObject(ip_parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, [this]() { RunSlice(Budget()); });
}

void SlicedWork::SetSliceMs(qint64 i_ms)
{
    s_sliceMs = i_ms;
}

qint64 SlicedWork::SliceMs()
{
    return s_sliceMs;
}

qint64 SlicedWork::Budget() const
{
    return m_ownSliceMs >= 0 ? std::min(m_ownSliceMs, s_sliceMs) : s_sliceMs;
}

void SlicedWork::Start(Step i_step, std::function<void()> i_done)
{
    ++m_generation;
    mp_step = i_step ? std::make_shared<Step const>(std::move(i_step)) : nullptr;
    m_done = std::move(i_done);
    m_timer.stop();
    RunSlice(Budget());
}

void SlicedWork::StartNextTurn(Step i_step, std::function<void()> i_done)
{
    if (Budget() < 0)
        return Start(std::move(i_step), std::move(i_done));
    ++m_generation;
    mp_step = i_step ? std::make_shared<Step const>(std::move(i_step)) : nullptr;
    m_done = std::move(i_done);
    m_timer.start();
}

void SlicedWork::Stop()
{
    ++m_generation;
    mp_step.reset();
    m_done = std::function<void()>();
    m_timer.stop();
}

void SlicedWork::Finish()
{
    if (IsRunning())
        RunSlice(-1);
}

void SlicedWork::RunSlice(qint64 i_sliceMs)
{
    quint64 const l_generation = m_generation;
    std::shared_ptr<Step const> const lp_step = mp_step;
    QPointer<SlicedWork> const lp_self(this);
    m_slice.start();
    ++m_slicesBegun;
    m_endSlice = false;
    bool l_more = lp_step != nullptr;
    while (l_more) {
        l_more = (*lp_step)();
        if (!lp_self || l_generation != m_generation)
            return;
        if (l_more && i_sliceMs >= 0 && (m_endSlice || m_slice.nsecsElapsed() >= i_sliceMs * 1000000)) {
            m_slice.invalidate();
            m_timer.start();
            return;
        }
    }
    m_slice.invalidate();
    std::function<void()> const l_done = std::move(m_done);
    Stop();
    if (l_done)
        l_done();
}
