// The sample passes: every sample whose face changed is measured again, in
// the triangle that holds it, against the surface's tolerance. A kernel:
// compiled once per instruction set, so that blocks of four samples are
// tested in the widest double lanes of the build (tin/measured_face.hpp).
#include "tin/sample_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/lanes.hpp"
#include "tin/measured_face.hpp"

namespace orvik::tin {
namespace {

// The pass over the samples of one surface. Block tests the blocks.
template <class Block>
class SamplePass {
  public:
    // The pass over every surface; false when `stop` asked to end it.
    static bool run_all(PassView& view) {
        for (std::size_t s = 0; s < view.surfaces->size(); ++s) {
            SamplePass pass(view, s);
            if (!pass.run()) return false;
        }
        return true;
    }

  private:
    // Once a few samples in a row fell in the last triangle, the next four
    // are tried against it at once.
    static constexpr std::size_t kBlock = 4, kStreak = 6, kSampleAhead = 16;

    SamplePass(PassView& view, std::size_t s)
        : refiner_(*view.refiner),
          recent_(view.recent),
          recent_used_(view.recent_used),
          columns_(view.columns),
          column_origin_(view.column_origin),
          column_scale_(view.column_scale),
          s_(s),
          samples_((*view.surfaces)[s].samples.data()),
          count_((*view.surfaces)[s].samples.size()),
          tolerance_((*view.surfaces)[s].tolerance),
          finite_tolerance_(std::isfinite(tolerance_)),
          trust_(view.trust),
          // Blocks rely on the filter, and on fits that need no division.
          blocks_(trust_ && finite_tolerance_ ? 1 : 0),
          faces_of_(view.sample_face + view.sample_offset[s]),
          changed_(view.changed),
          last_(view.first_face) {
        std::fill(view.recent_used, view.recent_used + view.columns, std::uint8_t{0});
    }

    // Not excluded, and not measured in a triangle that is still there.
    bool waits(std::uint32_t old) const { return changed_[wait_slot(old)] != 0; }

    bool run() {
        std::size_t j = 0;
        while (j < count_) {
            if (poll_stop(refiner_, 256)) return false;
            const std::size_t end = std::min(count_, j + 256);
            for (; j < end; ++j) {
                const std::uint32_t old = faces_of_[j];
                if (!waits(old)) {
                    j = skip_settled(j, end);
                    continue;
                }
                if (streak_ >= kStreak) {
                    if (block_settled(j)) {
                        j += kBlock - 1;
                        continue;
                    }
                    streak_ = 0;
                }
                measure(j, old);
            }
        }
        return true;
    }

    // Late passes measure few samples: after sample j, which stays, passes
    // over the next eight at once while they all stay too.
    std::size_t skip_settled(std::size_t j, std::size_t end) const {
        constexpr std::size_t kSkip = 8;
        while (j + kSkip < end) {
            unsigned any = 0;
            for (std::size_t l = 1; l <= kSkip; ++l) any |= changed_[wait_slot(faces_of_[j + l])];
            if (any != 0) break;
            j += kSkip;
        }
        return j;
    }

    // Samples j to j + 3, all waiting, settle in the last triangle: they are
    // measured there, and nothing else changes.
    bool block_settled(std::size_t j) {
        if (j + kBlock > count_) return false;
        if (!waits(faces_of_[j + 1]) || !waits(faces_of_[j + 2]) || !waits(faces_of_[j + 3])) {
            return false;
        }
        const double limit = below_worst(*mp_->worst, tolerance_);
        if (block_.settled(*mp_, &samples_[j], tolerance_, limit) != 0xFu) return false;
        for (std::size_t l = 0; l < kBlock; ++l) faces_of_[j + l] = mp_->id;
        previous_ = j + kBlock - 1;
        return true;
    }

    // Measures sample j, which waits, in the triangle that holds it.
    void measure(std::size_t j, std::uint32_t old) {
        // Late passes read samples here and there, too sparsely for the
        // processor to fetch them ahead by itself.
        if (j + kSampleAhead < count_) __builtin_prefetch(&samples_[j + kSampleAhead]);
        const TinSample& p = samples_[j];
        // Location needs finite coordinates; such a sample lies in no triangle.
        if (old == kUnmeasured && (!std::isfinite(p.x) || !std::isfinite(p.y))) {
            faces_of_[j] = kExcludedSample;
            return;
        }
        double nu = 0.0, nv = 0.0;
        const MeasuredFace* m = triangle_of(p, j, old, nu, nv);
        if (m == nullptr) {
            faces_of_[j] = kExcludedSample;  // on a vertex or outside the hull
            return;
        }
        previous_ = j;
        faces_of_[j] = m->id;
        if (std::isnan(p.z)) return;
        const double z_tin = tin_value(m->t, nu, nv);
        const double diff = lanes::abs(z_tin - p.z);
        // For a finite positive tolerance, diff / tolerance <= 1 exactly when
        // diff <= tolerance (division rounds monotonically): most fits need
        // no division.
        if (finite_tolerance_ && diff <= tolerance_) return;
        // Likewise a misfit clearly below the face's worst so far cannot
        // replace it, and needs no division either.
        if (diff < below_worst(*m->worst, tolerance_)) return;
        offer(*m, j, z_tin, diff);
    }

    // A misfit of sample j in triangle m that may be the face's worst: it
    // becomes the worst if it is worse.
    void offer(const MeasuredFace& m, std::size_t j, double z_tin, double diff) {
        FaceWorst& worst = *m.worst;
        const double err =
            std::isnan(z_tin) ? std::numeric_limits<double>::infinity() : diff / tolerance_;
        if (!(err > worst.err)) {
            // Equal misfits keep the earlier sample, whatever order they came in.
            if (!(err == worst.err && worst.surface != kNone &&
                  (s_ < worst.surface || (s_ == worst.surface && j < worst.sample)))) {
                return;
            }
        }
        if (worst.surface == kNone) note_misfit(refiner_, m.id);
        worst = {err, static_cast<std::uint32_t>(s_), m.corner, j};
    }

    // The triangle that holds sample j, with the numerators of its weights
    // there; null when it lies in none. Tries the last triangle, then the
    // one last measured in the sample's column of the boundary's box
    // (samples in rows cross, row after row, the same triangles), then
    // locates it.
    const MeasuredFace* triangle_of(const TinSample& p, std::size_t j, std::uint32_t old,
                                    double& nu, double& nv) {
        if (trust_ && mp_ != nullptr && holds(*mp_, p.x, p.y, nu, nv)) {
            streak_ += blocks_;
            return mp_;
        }
        streak_ = 0;
        const std::size_t column = column_of(p.x);
        MeasuredFace& recent = recent_[column];
        if (trust_ && recent_used_[column] && holds(recent, p.x, p.y, nu, nv)) {
            mp_ = &recent;
            last_ = recent.face;
            return mp_;
        }
        // Samples come mostly in runs through neighbouring triangles: start
        // from the last one, or else from the slot of the face this sample
        // was in before, which CGAL reused nearby.
        const bool slot = j != previous_ + 1 && old != kUnmeasured;
        const void* f = locate_sample(refiner_, s_, p.x, p.y, last_, slot ? old : kNone,
                                      mp_ != nullptr ? last_ : nullptr, recent);
        if (f == nullptr) return nullptr;
        if (mp_ == nullptr || f != last_) {
            recent_used_[column] = 1;
            mp_ = &recent;
        }
        last_ = f;
        double e0;
        edge_functions(mp_->t, p.x, p.y, nu, nv, e0);
        return mp_;
    }

    // The column of the boundary's box that holds x.
    std::size_t column_of(double x) const {
        const double q = (x - column_origin_) * column_scale_;
        if (!(q > 0.0)) return 0;
        if (q >= static_cast<double>(columns_ - 1)) return columns_ - 1;
        return static_cast<std::size_t>(q);
    }

    Refiner& refiner_;
    MeasuredFace* const recent_;
    std::uint8_t* const recent_used_;
    const std::size_t columns_;
    const double column_origin_, column_scale_;
    const std::size_t s_;
    const TinSample* const samples_;
    const std::size_t count_;
    const double tolerance_;
    const bool finite_tolerance_;
    const bool trust_;  // the filtered tests against measured triangles
    const std::size_t blocks_;
    std::uint32_t* const faces_of_;  // the surface's samples' face ids
    const std::uint8_t* const changed_;
    const void* last_;                  // the face of the last measurement
    const MeasuredFace* mp_ = nullptr;  // describes `last_`
    std::size_t previous_ = kNoIndex;   // the sample measured last
    std::size_t streak_ = 0;            // samples in a row measured in the last triangle
    Block block_;
};

}  // namespace
}  // namespace orvik::tin

namespace orvik::ORVIK_ISA {

void sample_pass(tin::PassView& view) {
    tin::SamplePass<tin::BlockTest<lanes::Doubles>>::run_all(view);
}

}  // namespace orvik::ORVIK_ISA
