#ifndef QUILLMAR_UI_WIDGETS_SLICEDSORT_H
#define QUILLMAR_UI_WIDGETS_SLICEDSORT_H

// A stable merge sort that does a bounded amount of work a step, for lists
// long enough that one sort would hold the window: 100,000 file rows of
// long names took some 700 ms in one go. Its steps run through SlicedWork
// (store/SlicedWork.h), beside whatever else the window does; the share
// browser's file list (ShareTree.h) sorts its rows' keys with it before
// putting them into the view in order.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

template <class T> class SlicedSort
{
public:
    typedef std::function<bool(T const&, T const&)> Less;

    // Elements placed in one step when none is asked for: some tens of
    // microseconds for keys of long names.
    static constexpr std::size_t STEP_MOVES = 256;

    // Drops what was being sorted and starts on i_items.
    void Start(std::vector<T> i_items, Less i_less)
    {
        m_from = std::move(i_items);
        m_to.clear();
        m_to.resize(m_from.size());
        m_less = std::move(i_less);
        m_width = 1;
        m_left = 0;
        m_inPair = false;
        m_longestStep = 0;
    }

    // Places at most i_moves elements; false once the whole is in order
    // (Take() then gives it).
    bool Step(std::size_t i_moves = STEP_MOVES)
    {
        std::size_t const l_size = m_from.size();
        std::size_t l_moves = 0;
        while (m_width < l_size && l_moves < i_moves) {
            if (!m_inPair) {
                if (m_left >= l_size) {
                    // A pass is through: its runs are twice as long.
                    std::swap(m_from, m_to);
                    m_width *= 2;
                    m_left = 0;
                    continue;
                }
                m_mid = std::min(m_left + m_width, l_size);
                m_end = std::min(m_mid + m_width, l_size);
                m_i = m_left;
                m_j = m_mid;
                m_k = m_left;
                m_inPair = true;
            }
            for (; m_k < m_end && l_moves < i_moves; ++m_k, ++l_moves) {
                // Equal elements keep their order: the left run's first.
                if (m_j >= m_end || (m_i < m_mid && !m_less(m_from[m_j], m_from[m_i])))
                    m_to[m_k] = std::move(m_from[m_i++]);
                else
                    m_to[m_k] = std::move(m_from[m_j++]);
            }
            if (m_k == m_end) {
                m_inPair = false;
                m_left = m_end;
            }
        }
        m_longestStep = std::max(m_longestStep, l_moves);
        return m_width < l_size;
    }

    // The sorted elements, once Step() said it was through.
    std::vector<T> Take()
    {
        m_to.clear();
        return std::move(m_from);
    }

    // The most elements one step placed since Start.
    std::size_t LongestStep() const { return m_longestStep; }

private:
    std::vector<T> m_from;
    std::vector<T> m_to;
    Less m_less;
    std::size_t m_width = 1; // of the sorted runs being merged
    std::size_t m_left = 0;  // where the next pair of runs starts
    bool m_inPair = false;
    std::size_t m_mid = 0, m_end = 0, m_i = 0, m_j = 0, m_k = 0;
    std::size_t m_longestStep = 0;
};

#endif
