// The sample passes: every sample whose face changed is measured again, in
// the triangle that holds it, against the surface's tolerance.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tin/refiner.hpp"

namespace orvik::tin {

void Refiner::sample_pass() {
#if defined(ORVIK_TIN_AVX2)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && !options_.baseline_lanes) {
        sample_pass_avx2();
        return;
    }
#endif
    sample_pass_baseline();
}

void Refiner::sample_pass_baseline() {
    sample_pass_with<BlockTest>();
}

#if defined(ORVIK_TIN_AVX2)
void Refiner::sample_pass_avx2() {
    sample_pass_with<BlockTestAvx>();
}
#endif

template <class Block>
void Refiner::sample_pass_with() {
    for (std::size_t s = 0; s < surfaces_.size(); ++s) {
        const TinSurface& surface = surfaces_[s];
        const std::vector<double>& values = values_[s];
        const double tolerance = surface.tolerance;
        const bool finite_tolerance = std::isfinite(tolerance);
        const std::size_t base = sample_offset_[s];
        const bool trust = !options_.locate_every_sample;
        // Blocks rely on the filter, and on fits that need no division.
        const std::size_t blocks = trust && finite_tolerance ? 1 : 0;
        FaceHandle last = vertices_[0]->face();
        std::size_t previous = kNoIndex;  // the sample located last
        // The triangle of the last measurement, and per column of the
        // boundary's box the triangle last measured there: samples in rows
        // cross, row after row, the same triangles.
        MeasuredFace* mp = nullptr;  // describes `last`
        recent_used_.assign(kRecentColumns, 0);

        // Once a few samples in a row fell in the last triangle, the next
        // four are tried against it at once.
        constexpr std::size_t kBlock = 4, kStreak = 6, kSampleAhead = 16;
        std::size_t streak = 0;  // samples in a row measured in the last triangle
        Block block;
        const std::size_t count = surface.samples.size();
        std::uint32_t* faces_of = sample_face_.data() + base;
        const std::uint8_t* changed = changed_.data();
        // Not excluded, and not measured in a triangle that is still there.
        const auto waits = [changed](std::uint32_t old) { return changed[wait_slot(old)] != 0; };
        std::size_t j = 0;
        while (j < count) {
            if (stopping(256)) return;
            const std::size_t end = std::min(count, j + 256);
            for (; j < end; ++j) {
                const std::uint32_t old = faces_of[j];
                if (!waits(old)) {
                    // Late passes measure few samples: after one that stays,
                    // pass over the next eight at once when they all stay too.
                    constexpr std::size_t kSkip = 8;
                    while (j + kSkip < end) {
                        unsigned any = 0;
                        for (std::size_t l = 1; l <= kSkip; ++l) {
                            any |= changed[wait_slot(faces_of[j + l])];
                        }
                        if (any != 0) break;
                        j += kSkip;
                    }
                    continue;
                }
                if (streak >= kStreak) {
                    if (j + kBlock <= count && waits(faces_of[j + 1]) && waits(faces_of[j + 2]) &&
                        waits(faces_of[j + 3]) &&
                        block.settled(*mp, &surface.samples[j], tolerance,
                                      below_worst(*mp->record, tolerance)) == 0xFu) {
                        for (std::size_t l = 0; l < kBlock; ++l) faces_of[j + l] = mp->id;
                        previous = j + kBlock - 1;
                        j += kBlock - 1;
                        continue;
                    }
                    streak = 0;
                }
                // Late passes read samples here and there, too sparsely for the
                // processor to fetch them ahead by itself.
                if (j + kSampleAhead < count)
                    __builtin_prefetch(&surface.samples[j + kSampleAhead]);
                const TinSample& p = surface.samples[j];
                // Location needs finite coordinates; such a sample lies in no triangle.
                if (old == kUnmeasured && (!std::isfinite(p.x) || !std::isfinite(p.y))) {
                    faces_of[j] = kExcludedSample;
                    continue;
                }
                double nu = 0.0, nv = 0.0;
                if (trust && mp && mp->holds(p.x, p.y, nu, nv)) {
                    streak += blocks;
                } else {
                    streak = 0;
                    const std::size_t column = recent_column(p.x);
                    MeasuredFace& recent = recent_[column];
                    if (trust && recent_used_[column] && recent.holds(p.x, p.y, nu, nv)) {
                        mp = &recent;
                        last = recent.face;
                    } else {
                        // Samples come mostly in runs through neighbouring triangles:
                        // start from the last one, or else from the slot of the face
                        // this sample was in before, which CGAL reused nearby.
                        FaceHandle start = last;
                        if (j != previous + 1 && old != kUnmeasured) {
                            const FaceHandle slot = faces_[old].handle;
                            if (cdt_.tds().faces().is_used(slot)) start = slot;
                        }
                        const Location loc = locate(start, p.x, p.y);
                        FaceHandle f = loc.face;
                        if (loc.type == Cdt::EDGE) {
                            // Of the two triangles along the edge, the one of smaller id, so
                            // that the choice does not depend on where the walk began.
                            const FaceHandle other = f->neighbor(loc.index);
                            if (cdt_.is_infinite(f) ||
                                (!cdt_.is_infinite(other) && other->info().id < f->info().id)) {
                                f = other;
                            }
                            if (cdt_.is_infinite(f)) {
                                faces_of[j] = kExcludedSample;
                                continue;
                            }
                        } else if (loc.type != Cdt::FACE) {
                            faces_of[j] = kExcludedSample;  // on a vertex or outside the hull
                            continue;
                        }
                        if (!mp || f != last) {
                            recent.load(f, faces_, values, extent_);
                            recent_used_[column] = 1;
                            mp = &recent;
                        }
                        last = f;
                        mp->numerators(p.x, p.y, nu, nv);
                    }
                }
                const MeasuredFace& m = *mp;
                previous = j;
                FaceRecord& rec = *m.record;
                const std::uint32_t id = m.id;
                faces_of[j] = id;
                if (std::isnan(p.z)) continue;
                const double u = nu / m.det;
                const double v = nv / m.det;
                const double z_tin = (((1.0 - u) - v) * m.za + u * m.zb) + v * m.zc;
                const double diff = std::fabs(z_tin - p.z);
                // For a finite positive tolerance, diff / tolerance <= 1 exactly when
                // diff <= tolerance (division rounds monotonically): most fits need
                // no division.
                if (finite_tolerance && diff <= tolerance) continue;
                // Likewise a misfit clearly below the face's worst so far cannot
                // replace it, and needs no division either.
                if (diff < below_worst(rec, tolerance)) continue;
                offer(s, rec, id, m.corner, j, z_tin, diff);
            }
        }
    }
}

// A misfit of sample j of surface s in face `id` that may be the face's worst:
// it becomes the worst if it is worse.
void Refiner::offer(std::size_t s, FaceRecord& rec, std::uint32_t id, std::uint32_t corner,
                    std::size_t j, double z_tin, double diff) {
    const double tolerance = surfaces_[s].tolerance;
    const double err =
        std::isnan(z_tin) ? std::numeric_limits<double>::infinity() : diff / tolerance;
    if (!(err > rec.worst.err)) {
        // Equal misfits keep the earlier sample, whatever order they came in.
        if (!(err == rec.worst.err && rec.worst.surface != kNone &&
              (s < rec.worst.surface || (s == rec.worst.surface && j < rec.worst.sample)))) {
            return;
        }
    }
    if (rec.worst.surface == kNone) misfits_.push_back(id);
    rec.worst = {err, static_cast<std::uint32_t>(s), corner, j};
}

}  // namespace orvik::tin
