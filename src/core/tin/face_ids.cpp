// Face ids: new faces get the next ids in a spatial order, and at every
// refresh the faces that CGAL may have changed are compared with what their
// ids stood for before.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "tin/refiner.hpp"

namespace orvik::tin {

// Gives new faces the next ids and compares the faces that may have changed
// with what their ids stood for before. The samples of a face whose corners
// changed, or whose id died, are measured again; an unchanged face keeps its
// samples and their worst misfit, which measuring them again would
// reproduce exactly.
Status Refiner::refresh_faces() {
    for (std::uint32_t id : changed_ids_) changed_[wait_slot(id)] = 0;
    changed_ids_.clear();
    fresh_.clear();
    if (scan_all_ || options_.scan_every_face || !scan_touched_faces()) scan_all_faces();
    if (stopped_) return Error::interrupted();
    if (Status st = number_fresh_faces(); !st) return st;

    // New faces go into the first free slots: while no slot before the last
    // one in use is free, they come after it, and only touched and new
    // faces need a look at the next refresh.
    auto& slots = cdt_.tds().faces();
    last_slot_ = std::prev(slots.end());
    slots_used_ = slots.size();
    scan_all_ = slots.index(last_slot_) + 1 != slots_used_;

    sort_ids(bounded_);
    std::erase_if(bounded_, [this](std::uint32_t id) { return faces_[id].constrained_edges == 0; });
    // Faces that changed lost their worst sample; the others keep it.
    std::erase_if(misfits_, [this](std::uint32_t id) { return faces_[id].worst.surface == kNone; });
    marked_.assign(faces_.size(), 0);
    return ok_status();
}

// Looks at every face: the first time, and whenever faces may have been
// deleted or new faces may sit in freed slots.
void Refiner::scan_all_faces() {
    was_live_.resize(faces_.size());
    for (std::size_t id = 0; id < faces_.size(); ++id) {
        FaceRecord& rec = faces_[id];
        was_live_[id] = rec.live;
        rec.live = false;
        rec.constrained_edges = 0;
    }
    bounded_.clear();
    for (FaceHandle f : cdt_.all_face_handles()) {
        if (stopping()) return;
        FaceInfo& info = f->info();
        info.touched = false;
        info.fresh = false;
        if (cdt_.is_infinite(f)) continue;
        if (info.id == kNone) {
            fresh_.push_back({spatial_key(f), f});
            continue;
        }
        note_face(f, was_live_[info.id] != 0);
    }
    touched_.clear();
    // Ids finite at the previous refresh and not now died or went outside.
    for (std::size_t id = 0; id < was_live_.size(); ++id) {
        if (was_live_[id] && !faces_[id].live) mark_changed(static_cast<std::uint32_t>(id));
    }
}

// Looks at the faces touched since the last refresh and at the slots after
// the last one in use then. False when faces may sit elsewhere: when the
// slots in use did not grow by the new ones, or a touched face is new but
// not in those slots (a face beyond the hull became finite). Only a scan of
// every face numbers new faces in slot order then; what this scan did is
// part of what that one does.
bool Refiner::scan_touched_faces() {
    auto& slots = cdt_.tds().faces();
    std::size_t added = 0;
    // Faces are read a few places ahead: they lie all over memory.
    constexpr std::size_t kAhead = 8;
    auto ahead = std::next(last_slot_);
    for (std::size_t k = 0; k < kAhead && ahead != slots.end(); ++k) ++ahead;
    for (auto it = std::next(last_slot_); it != slots.end(); ++it) {
        if (ahead != slots.end()) {
            __builtin_prefetch(&*ahead->vertex(0));
            ++ahead;
        }
        ++added;
        const FaceHandle f = it;
        if (cdt_.is_infinite(f)) continue;
        f->info().fresh = true;
        fresh_.push_back({spatial_key(f), f});
    }
    bool consistent = slots_used_ + added == slots.size();
    const std::size_t count = consistent ? touched_.size() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) __builtin_prefetch(touched_[i + kAhead]);
        // Halfway there, the face is in cache: fetch its corners' record.
        if (i + kAhead / 2 < count) {
            const std::uint32_t id = static_cast<const Face*>(touched_[i + kAhead / 2])->info().id;
            if (id != kNone) __builtin_prefetch(&faces_[id]);
        }
        if (stopping()) return true;
        const FaceHandle f(static_cast<Face*>(touched_[i]));
        FaceInfo& info = f->info();
        info.touched = false;
        if (info.id == kNone) {
            // New faces are numbered below, if they are where they should be.
            if (!info.fresh && !cdt_.is_infinite(f)) consistent = false;
            continue;
        }
        if (cdt_.is_infinite(f)) {
            FaceRecord& rec = faces_[info.id];
            if (rec.live) {
                rec.live = false;
                rec.constrained_edges = 0;
                mark_changed(info.id);
            }
            continue;
        }
        note_face(f, faces_[info.id].live);
    }
    if (!consistent) {
        for (const FreshFace& fresh : fresh_) fresh.face->info().fresh = false;
        fresh_.clear();
        return false;
    }
    touched_.clear();
    return true;
}

// New faces are numbered along a space-filling curve over coarse cells, so
// that the candidates, which follow face ids, are inserted near one another;
// faces in one cell keep their slot order.
Status Refiner::number_fresh_faces() {
    // A stable sort by the 16-bit keys: counting over their low byte, then
    // over their high byte.
    fresh_sorted_.resize(fresh_.size());
    for (int shift : {0, 8}) {
        const std::vector<FreshFace>& from = shift == 0 ? fresh_ : fresh_sorted_;
        std::vector<FreshFace>& to = shift == 0 ? fresh_sorted_ : fresh_;
        std::array<std::uint32_t, 256> start{};
        for (const FreshFace& fresh : from) ++start[(fresh.key >> shift) & 0xFF];
        std::uint32_t offset = 0;
        for (std::uint32_t& c : start) {
            const std::uint32_t n = c;
            c = offset;
            offset += n;
        }
        for (const FreshFace& fresh : from) to[start[(fresh.key >> shift) & 0xFF]++] = fresh;
    }
    for (const FreshFace& fresh : fresh_) {
        if (faces_.size() >= kIdLimit) return Error::value(kTinTooLarge);
        FaceInfo& info = fresh.face->info();
        info.id = static_cast<std::uint32_t>(faces_.size());
        info.fresh = false;
        faces_.push_back({fresh.face, FaceWorst{}});
        changed_.push_back(0);
        note_face(fresh.face, false);
    }
    return ok_status();
}

// Sorts face ids and drops repeats through a bitmap over all ids, which
// costs far less than comparisons when there are thousands.
void Refiner::sort_ids(std::vector<std::uint32_t>& ids) {
    id_bits_.assign((faces_.size() + 63) / 64, 0);
    for (std::uint32_t id : ids) id_bits_[id / 64] |= std::uint64_t{1} << (id % 64);
    ids.clear();
    for (std::size_t w = 0; w < id_bits_.size(); ++w) {
        for (std::uint64_t bits = id_bits_[w]; bits != 0; bits &= bits - 1) {
            ids.push_back(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
        }
    }
}

void Refiner::mark_changed(std::uint32_t id) {
    if (!changed_[wait_slot(id)]) {
        changed_[wait_slot(id)] = 1;
        changed_ids_.push_back(id);
    }
    faces_[id].worst = FaceWorst{};
    faces_[id].fitting_edges = 0;
}

void Refiner::note_face(FaceHandle f, bool was_live) {
    FaceInfo& info = f->info();
    const std::uint32_t id = info.id;
    FaceRecord& rec = faces_[id];
    rec.live = true;
    const std::uint8_t constrained_edges =
        static_cast<std::uint8_t>((f->is_constrained(0) ? 1 : 0) | (f->is_constrained(1) ? 2 : 0) |
                                  (f->is_constrained(2) ? 4 : 0));
    if (constrained_edges != rec.constrained_edges) {
        rec.constrained_edges = constrained_edges;
        rec.fitting_edges = 0;
    }
    if (constrained_edges != 0) bounded_.push_back(id);
    const void* now[3] = {&*f->vertex(0), &*f->vertex(1), &*f->vertex(2)};
    auto& corners = rec.corners;
    if (!was_live || corners[0] != now[0] || corners[1] != now[1] || corners[2] != now[2]) {
        mark_changed(id);
        for (int k = 0; k < 3; ++k) corners[k] = now[k];
    }
}

// Morton code of the 256 x 256 cell of the boundary's box that holds a
// face's first corner.
std::uint32_t Refiner::spatial_key(FaceHandle f) const {
    const Point& a = f->vertex(0)->point();
    const auto cell = [](double v, double lo, double scale) -> std::uint32_t {
        const double q = (v - lo) * scale;
        if (!(q > 0.0)) return 0;
        if (q >= 255.0) return 255;
        return static_cast<std::uint32_t>(q);
    };
    const std::uint32_t ix = cell(a.x(), box_[0], box_[2]);
    const std::uint32_t iy = cell(a.y(), box_[1], box_[3]);
    std::uint32_t key = 0;
    for (int bit = 0; bit < 8; ++bit) {
        key |= ((ix >> bit) & 1u) << (2 * bit);
        key |= ((iy >> bit) & 1u) << (2 * bit + 1);
    }
    return key;
}

}  // namespace orvik::tin
