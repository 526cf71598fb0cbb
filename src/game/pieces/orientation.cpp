#include "game/pieces/orientation.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "game/pieces/orientation_shapes.hpp"

namespace krodan {
namespace {

// The RowRun of one row of a shape such as ".XX" or "X.X".
RowRun row_run(std::string_view row) {
    const auto first = row.find('X');
    const auto last = row.rfind('X');
    if (first == std::string_view::npos) throw InternalError("empty orientation row");
    RowRun run;
    run.start = first;
    run.len = static_cast<std::uint64_t>(std::count(row.begin(), row.end(), 'X'));
    const auto holes = last - first + 1 - run.len;
    if (holes > 1) throw InternalError("orientation row with more than one gap");
    if (holes == 1) run.gap = row.find('.', first);
    return run;
}

Orientation orientation_of(const OrientationShape& shape) {
    Orientation o;
    std::uint64_t width = 0;
    std::string_view rest = shape.rows;
    while (true) {
        const auto slash = rest.find('/');
        const std::string_view row = rest.substr(0, slash);
        width = std::max<std::uint64_t>(width, row.size());
        o.rows.push_back(row_run(row));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    o.variant = shape.variant;
    o.max_row = BOARD_ROWS - o.rows.size();
    o.max_col = BOARD_COLS - width;
    o.piece = code(shape.piece);
    return o;
}

}  // namespace

std::vector<Orientation> build_orientations() {
    std::vector<Orientation> orientations;
    orientations.reserve(ORIENTATION_SHAPES.size());
    for (const OrientationShape& shape : ORIENTATION_SHAPES)
        orientations.push_back(orientation_of(shape));
    std::stable_sort(orientations.begin(), orientations.end(),
                     [](const Orientation& a, const Orientation& b) {
                         return a.piece != b.piece ? a.piece < b.piece : a.variant < b.variant;
                     });
    return orientations;
}

u128 shape_bits(const Orientation& orientation) {
    u128 bits = 0;
    unsigned flag = 0;
    for (const RowRun& run : orientation.rows) {
        std::array<bool, BOARD_COLS> row{};
        for (std::uint64_t c = run.start; c < run.start + run.len && c < BOARD_COLS; ++c)
            row[c] = true;
        if (run.gap) {
            if (*run.gap > run.len)
                throw InternalError("gap column " + std::to_string(*run.gap) +
                                    " beyond the row's length");
            std::copy_backward(row.begin() + static_cast<std::ptrdiff_t>(*run.gap), row.end() - 1,
                               row.end());
            row[*run.gap] = false;
        }
        for (bool filled : row) {
            if (filled) bits |= u128{1} << flag;
            ++flag;
        }
        ++flag;  // the guard column
    }
    return bits;
}

}  // namespace krodan
