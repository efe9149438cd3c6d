# SPDX-License-Identifier: LGPL-2.1-or-later
"""The judge's core: rating_write_cli as a process, the fuzz run's inputs and their byte
mutations, a case run and judged by its input's format, the workers and the report, the smallest
failure of each kind kept, the replay, the self-test's machinery, and formats(), the table of the
format modules (xiph, mp4, riff, wma, id3), each of which offers a Format."""
import argparse
import base64
import collections
import hashlib
import multiprocessing
import os
import random
import re
import select
import shutil
import subprocess
import tempfile
import time
import traceback

import make_corpus
import make_fixtures
import make_seed_corpus as seed_corpus
from . import ROOT

RATING_BYTES = [0, 1, 64, 128, 160, 255]
ANSWER_TIMEOUT = 10.0
LEAK_CHECK_EVERY = 64  # a leak check costs milliseconds: one per so many writes
KEPT_SHAPES_PER_KIND = 20
FRACTION_TEXT = re.compile(rb"[0-9]+(\.[0-9]+)?")  # a rating as a decimal number


# ---- The formats ---------------------------------------------------------------------------
#
# What a format module offers the core, a Format (None or nothing where it has none):
#   names, titles   the names it rates files under ("song.flac"), its formats' names ("FLAC")
#   claim(data)     its name for the input, None when the bytes are not its
#   sniff(head), extensions   its files by their first 12 bytes or their name (--files)
#   state(data)     the judge's view of the input; loadable(state): the judge trusts it
#   form(name, state)   what the input was taken for, for the statistics
#   judge(before, state, after, stars, result)   (kind, detail, text) of the first rule the write
#                   broke, or None (a file left beside and a change not reported as saved: core's)
#   describe(data), label(data), refusal(data)   mutagen's view and the structure for a note;
#                   what tells its failures apart (None: the kind of file); why mutagen refuses it
#   decoded         ffmpeg decodes the file written and the input alike (a trusted input refused
#                   counts as well-formed)
#   source          its Source of fuzz inputs; write(data, stars): a write by the rules (None:
#                   refused) for --reference; self_test(test): self-test checks of its own
#   mutagen_save(data, stars, padding=None)   the file as mutagen's own save rates it: the judge
#                   is proven on it with the format's damages ((title, damage, failure kinds)),
#                   paddings(name), other_writes(index, data, stars) ([(writer, file written)]
#                   judged beside), rerenders (failure kinds mutagen's save brings to another
#                   project's file) and checks(test, seeds) (its own, after the damages)
# A new format is one more module with its Format, named in formats().
Format = collections.namedtuple("Format", "names titles claim sniff extensions state loadable form judge describe "
                                "label refusal decoded source write self_test mutagen_save damages paddings "
                                "other_writes rerenders checks", defaults=(
                                    None, None, False, None, None, None, None, (), lambda name: (None,),
                                    lambda index, data, stars: [], (), None))
# A format's fuzz inputs: `share` of the fuzz run (of the sources with seeds); seeds from pool(),
# made once a run; one taken as it is (with probability `pick`) or structured(rng, seeds) built
# around one; then up to three mutate(rng, data) -> (what was done, bytes). large() makes the
# large seeds --seeds adds.
Source = collections.namedtuple("Source", "share pool pick structured mutate large", defaults=(None,))
_FORMATS = []


def formats():
    """The formats, in the order they claim a file: MP3, which takes what no other claims, last."""
    if not _FORMATS:
        from . import id3, mp4, riff, wma, xiph  # each builds on this module
        _FORMATS.extend([xiph.FORMAT, mp4.FORMAT, riff.FORMAT, wma.FORMAT, id3.ADTS, id3.MP3])
    return _FORMATS


def sources():
    return [fmt.source for fmt in formats() if fmt.source]


def claimed(data):
    """(format, name) of the input: the first format that claims its bytes, and the name it is
    rated under, as a tagger would name it."""
    return next((fmt, name) for fmt in formats() for name in [fmt.claim(data)] if name)


def song_name(data):
    """The name the input is rated under: by its bytes, as a tagger would name it."""
    return claimed(data)[1]


def format_of(data):
    return claimed(data)[0]


def old_state(data):
    """The judge's view of the input, of its kind."""
    return format_of(data).state(data)


def listed(words):
    return ", ".join(words[:-1]) + " and " + words[-1] if len(words) > 1 else "".join(words)


def made_once(make):
    """The seed pool make() returns, made once a run (before the workers fork: ffmpeg runs once)."""
    made = []

    def pool():
        if not made:
            made.extend(make())
        return made
    pool.__doc__ = make.__doc__
    return pool


def judge(before, old, after, stars, result, leftovers):
    """(kind, shape detail, text) of the first rule the write broke, or None; `old` is the
    state of `before` by its format."""
    if leftovers:
        return "left-beside", "", "left beside the file: %s" % " ".join(leftovers)
    if result != "Saved" and after != before:
        return "changed-not-saved", result, "reported %s, yet the file changed" % result
    return format_of(before).judge(before, old, after, stars, result)


def describe_any(data):
    """mutagen's view and the structure of the file, by its format, for a note."""
    return format_of(data).describe(data)


def tag_label(data):
    """What tells a failure's input apart: the ID3v2 tag's version and flags for MP3 and ADTS,
    else the kind of file, and an ID3v2 tag before it."""
    fmt, name = claimed(data)
    return fmt.label(data) if fmt.label else name[5:] + (" after ID3v2" if data[:3] == b"ID3" else "")


FFMPEG = shutil.which("ffmpeg")


def decoded_audio(data, folder, cache):
    """ffmpeg's MD5 of the decoded audio (its error text when it gives none), cached by input. The
    decoder's warnings are not part of it: they name offsets in the file, which a longer comment
    moves."""
    key = hashlib.sha1(data).digest()
    if key not in cache:
        path = os.path.join(folder, "decode.bin")
        with open(path, "wb") as out:
            out.write(data)
        run = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.remove(path)
        errors = re.sub(rb" @ 0x[0-9a-f]+", b"", run.stderr.strip())[:300]  # addresses differ per run
        digest = run.stdout.strip()
        cache[key] = (run.returncode, (digest if digest.startswith(b"MD5=") else digest + b" " + errors).strip()
                      .decode("latin-1"))
        if len(cache) > 64:
            cache.pop(next(iter(cache)))
    return cache[key]


def judge_decoded(before, after, folder, cache):
    """The decoded audio of both, by ffmpeg: a failure where the input decodes and the file
    written decodes otherwise."""
    if FFMPEG is None:
        return None
    old, new = decoded_audio(before, folder, cache), decoded_audio(after, folder, cache)
    if old[0] == 0 and new != old:
        return "decoded-audio-changed", "", "ffmpeg decodes %s, before %s" % (new[1][:60], old[1][:60])
    return None


# ---- The tool ----------------------------------------------------------------------------

class Tool:
    """rating_write_cli as a process that answers one line per file."""

    def __init__(self, path, folder, leak_check_every):
        self.command = [path, str(leak_check_every)]
        self.errors = os.path.join(folder, "tool-stderr.txt")  # outside the song's folder
        self.process = None

    def start(self):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:allocator_may_return_null=1",
                   UBSAN_OPTIONS="print_stacktrace=1")
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=errors, env=env, bufsize=0)

    def stop(self):
        if self.process is not None:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
            self.process.kill()
            self.process.wait()
            self.process.stdout.close()
            self.process = None

    def ask(self, stars, path):
        """(result, plan), or ("crash" / "hang", what the tool said); restarts after either."""
        if self.process is None:
            self.start()
        try:
            self.process.stdin.write(b"%d\t%s\n" % (stars, path.encode()))
        except BrokenPipeError:
            pass
        answer = b""
        deadline = time.time() + ANSWER_TIMEOUT
        while not answer.endswith(b"\n"):
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, deadline - time.time()))
            piece = os.read(self.process.stdout.fileno(), 256) if ready else None
            if not piece:
                self.stop()
                return ("hang", "no answer within %g s" % ANSWER_TIMEOUT) if piece is None else ("crash", self.report())
            answer += piece
        result, plan = answer.decode().rstrip("\n").split("\t")
        return result, plan

    def report(self):
        """The sanitizer's summary line and the first frame of plugin code, from stderr."""
        with open(self.errors, "rb") as errors:
            text = errors.read().decode("utf-8", "replace")
        summary = next((line for line in text.splitlines() if line.startswith("SUMMARY:")), "")
        frame = next((line.strip() for line in text.splitlines() if "/rating/" in line), "")
        return (summary + " | " + frame).strip(" |") or "ended without a sanitizer report: %s" % text[-200:]


# ---- Inputs -------------------------------------------------------------------------------

@made_once
def seed_pool():
    """(name, bytes) of the fixtures, the corpus and the fuzz seeds."""
    pool = [("fixture " + name, make()) for name, make in make_fixtures.SAMPLES.items()]
    pool += [("corpus " + name, data) for name, data, _ in make_corpus.corpus()]
    pool += [("seed " + name, data) for name, data in list(seed_corpus.seeds()) + list(seed_corpus.whole_files())]
    return pool


def declared_tag_end(data):
    """Where the tag header says the tag ends (0 for no tag)."""
    if data[:3] != b"ID3" or len(data) < 10:
        return 0
    return 10 + ((data[6] & 0x7F) << 21 | (data[7] & 0x7F) << 14 | (data[8] & 0x7F) << 7 | (data[9] & 0x7F))


def tag_end_guess(data):
    return min(len(data), declared_tag_end(data) or 256)


def mutated(rng, data):
    """(what was done, bytes) after one byte-level change, mostly inside the tag."""
    data = bytearray(data)
    if not data:
        return "insert", bytes([rng.randrange(256)])
    end = tag_end_guess(data) if rng.random() < 0.8 else len(data)
    at = rng.randrange(max(end, 1))
    op = rng.choice(["flip", "byte", "insert", "delete", "copy", "size", "size", "header", "truncate"])
    if op == "flip":
        data[at] ^= 1 << rng.randrange(8)
    elif op == "byte":
        data[at] = rng.choice([0x00, 0xFF, 0x7F, 0x80, 0xE0, 0x01, rng.randrange(256)])
    elif op == "insert":
        data[at:at] = rng.choice([b"\xff\x00", b"\xff\xe0", b"\x00" * 4, bytes(rng.randrange(256)
                                                                                  for _ in range(rng.randint(1, 8)))])
    elif op == "delete":
        del data[at:at + rng.randint(1, 16)]
    elif op == "copy":
        start = rng.randrange(len(data))
        data[at:at] = data[start:start + rng.randint(1, 64)]
    elif op == "size":
        # A frame's size field: the 4 bytes after an ID of letters and digits, or the tag's.
        heads = [i for i in range(10, max(end - 10, 10)) if bytes(data[i:i + 4]).isalnum()]
        field = rng.choice(heads) + 4 if heads and rng.random() < 0.8 else 6
        value = int.from_bytes(data[field:field + 4], "big")
        value = rng.choice([value + rng.randint(-3, 3), value | 0x80, value ^ (0x80 << 8 * rng.randrange(4)),
                            rng.randrange(1 << 32)]) % (1 << 32)
        data[field:field + 4] = value.to_bytes(4, "big")
        at = field
    elif op == "header" and len(data) >= 6:
        at = rng.choice([3, 5, 5])
        data[at] = rng.choice([2, 3, 4]) if at == 3 else data[at] ^ rng.choice([0x80, 0x40, 0x20, 0x10, 0x01])
    else:
        del data[rng.randint(at, len(data)):]
    return "%s@%d" % (op, at), bytes(data)


def fuzz_input(rng, pools):
    """(how, bytes) of a fuzz input: a source drawn by its share (of those with seeds), one of
    its seeds or a file built around one, then up to three mutations."""
    drawn = [(source, pool) for source, pool in zip(sources(), pools) if pool]
    draw = rng.random() * sum(source.share for source, _ in drawn)
    for source, pool in drawn:
        draw -= source.share
        if draw < 0:
            break
    how, data = rng.choice(pool) if rng.random() < source.pick else source.structured(rng, pool)
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        step, data = source.mutate(rng, data)
        how += "; " + step
    return how, data


# ---- Cases and workers ---------------------------------------------------------------------

Case = collections.namedtuple("Case", "result plan failure loadable after form decoded well_formed",
                              defaults=(False, False))


def run_case(tool, folder, data, stars, decode=False, cache=None):
    """Writes the input into the empty folder, lets the store rate it and judges the file; with
    `decode`, a file of a format ffmpeg decodes saved is also decoded before and after."""
    fmt, name = claimed(data)
    song = os.path.join(folder, name)
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    with open(song, "wb") as out:
        out.write(data)
    old = fmt.state(data)
    loadable = fmt.loadable(old)
    form = fmt.form(name, old)
    well_formed = loadable and fmt.decoded
    result, plan = tool.ask(stars, song)
    if result in ("crash", "hang"):
        return Case(result, "-", (result, plan.split("|")[0].strip()[:80], plan), loadable, None, form,
                    well_formed=well_formed)
    with open(song, "rb") as written:
        after = written.read()
    if result == "leak":
        return Case(result, plan, ("leak", "", tool.report()), loadable, after, form, well_formed=well_formed)
    leftovers = sorted(entry for entry in os.listdir(folder) if entry != name)
    failure = judge(data, old, after, stars, result, leftovers)
    decoded = failure is None and decode and fmt.decoded and loadable and after != data and FFMPEG is not None
    decoded = decoded and result == "Saved"
    if decoded:
        failure = judge_decoded(data, after, os.path.dirname(folder), cache if cache is not None else {})
    return Case(result, plan, failure, loadable, after, form, decoded, well_formed)


def find_leak(tool_path, folder, recent):
    """(how, data, stars, case) of the input among the recent ones that leaks, written again
    one at a time with a leak check after each."""
    tool = Tool(tool_path, os.path.dirname(folder), 1)
    try:
        for how, data, stars in recent:
            case = run_case(tool, folder, data, stars)
            if case.result == "leak":
                return how, data, stars, case
    finally:
        tool.stop()
    return recent[-1] + (Case("leak", "-", ("leak", "not found again", "the leak did not recur"), True, None, "-"),)


def worker(index, args, tasks, queue):
    """Runs cases (the given tasks, or fuzz inputs until the deadline); sends failures and,
    at the end, its statistics to the queue."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = ReferenceTool() if args.reference else Tool(args.tool, base, LEAK_CHECK_EVERY if tasks is None else 1)
    rng = random.Random("%d/%d" % (args.seed, index))
    pools = [source.pool() for source in sources()] if tasks is None else None
    cache = {}
    deadline = time.time() + args.seconds
    stats = collections.Counter()
    recent = collections.deque(maxlen=LEAK_CHECK_EVERY)
    try:
        while True:
            if tasks is not None:
                if not tasks:
                    break
                how, source, stars = tasks.pop()
                data = source if isinstance(source, bytes) else open(source, "rb").read()
            else:
                if time.time() >= deadline:
                    break
                (how, data), stars = fuzz_input(rng, pools), rng.randrange(6)
            recent.append((how, data, stars))
            decode = tasks is not None or stats["cases"] % args.decode_every == 0
            try:
                case = run_case(tool, folder, data, stars, decode, cache)
            except Exception:  # the harness's own fault: kept like any other, and the run goes on
                case = Case("-", "-", ("harness-error", "", traceback.format_exc()), True, None, "-")
            if case.result == "leak" and tasks is None:  # checked once in a while: which write was it?
                tool.stop()  # a leak stays reported until the process ends
                how, data, stars, case = find_leak(args.tool, folder, recent)
            if case.result in ("crash", "hang", "leak"):
                tool.stop()
                recent.clear()  # the writes since the tool's last leak check
            stats["cases"] += 1
            stats["result " + case.result] += 1
            stats["plan " + case.plan] += 1
            stats["unloadable"] += not case.loadable
            stats["form " + case.form] += 1
            stats["decoded"] += case.decoded
            stats["well-formed refused"] += case.well_formed and case.result != "Saved"
            if case.failure is not None:
                queue.put(("failure", case, how, data, stars))
            if args.files:
                queue.put(("file", how, stars, case.result, case.plan, case.failure))
    finally:
        tool.stop()
        shutil.rmtree(base, ignore_errors=True)
        queue.put(("stats", stats))


def keep_failure(folder, kept, case, how, data, stars, save_input):
    """Keeps the smallest input for each kind and shape of failure, with a note."""
    kind, detail, text = case.failure
    shape = "%s|%s|%s|%s" % (kind, case.plan, tag_label(data), detail)
    name = "%s-%s" % (kind, hashlib.sha1(shape.encode()).hexdigest()[:8])
    kept[kind].add(name)
    path = os.path.join(folder, name)
    known = os.path.exists(path + ".txt")
    if not known and len(kept[kind]) > KEPT_SHAPES_PER_KIND:
        return
    extension = os.path.splitext(song_name(data))[1]
    if known and save_input and os.path.exists(path + extension) and os.path.getsize(path + extension) <= len(data):
        return
    if save_input:
        with open(path + extension, "wb") as out:
            out.write(data)
    with open(path + ".txt", "w") as note:
        note.write("kind: %s\nstars: %d (rating byte %d)\nresult: %s\nplan: %s\ninput: %s (%d bytes, %s)\n"
                   "what: %s\n" % (kind, stars, RATING_BYTES[stars], case.result, case.plan, how, len(data),
                                   tag_label(data), text))
        if len(data) < 2048:
            note.write("base64: %s\n" % base64.b64encode(data).decode())
        note.write("\nmutagen before the write:\n%s\n" % describe_any(data))
        if case.after is not None:
            note.write("\nmutagen after the write:\n%s\n" % describe_any(case.after))


def candidate_files(folder):
    """Files under `folder` that a format knows by their first bytes or their name's ending."""
    found, extensions = [], tuple(extension for fmt in formats() for extension in fmt.extensions)
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            path = os.path.join(root, name)
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            with open(path, "rb") as f:
                head = f.read(12)
            if any(fmt.sniff(head) for fmt in formats()) or name.lower().endswith(extensions):
                found.append(path)
    return sorted(found)


def claimed_files(folder, names):
    """(path under `folder`, bytes) of the files there rated under one of `names` (none without a
    folder)."""
    found = []
    for path in candidate_files(folder) if folder else []:
        with open(path, "rb") as f:
            data = f.read()
        if song_name(data) in names:
            found.append((os.path.relpath(path, folder), data))
    return found


# ---- The self-test's machinery: writes by the rules pass, each damage fails ---------------------

SelfTest = collections.namedtuple("SelfTest", "base folder cache problems files")


class ReferenceTool:
    """rating_write_cli's stand-in for the self-test and --reference: writes by the format's rules
    (mutagen's own save, where the format has one, under a damage), then does a damage to the
    file (or reports another result, or leaves a file beside it)."""

    def __init__(self, damage=None):
        self.damage = damage

    def ask(self, stars, path):
        with open(path, "rb") as f:
            before = f.read()
        fmt = format_of(before)
        save = fmt.mutagen_save if self.damage is not None and fmt.mutagen_save else fmt.write
        after = save(before, stars) if save else None
        result = "Saved" if after is not None else "TagRefused"
        if self.damage is not None:
            damaged = self.damage(before, after if after is not None else before, stars, path)
            if damaged is None:
                return "n/a", "-"
            after, result = damaged if isinstance(damaged, tuple) else (damaged, result)
        if after is not None:
            with open(path, "wb") as f:
                f.write(after)
        return result, "Reference"

    def stop(self):
        pass


def saved_by_mutagen(name, data, save):
    """The file as save(path) (mutagen's) leaves it, written under `name` in a folder of its own;
    None where mutagen gives up on it."""
    folder = tempfile.mkdtemp(prefix="vimbrel-mwf-ref-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    path = os.path.join(folder, name)
    try:
        with open(path, "wb") as out:
            out.write(data)
        save(path)
        with open(path, "rb") as f:
            return f.read()
    except Exception:  # mutagen gives up on the file: a reference that refuses it
        return None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _left_beside(before, after, stars, path):
    with open(path + ".tmp", "wb") as f:
        f.write(b"x")
    return after


def _changed_not_saved(before, after, stars, path):
    return (after, "TagRefused") if after != before else None


GENERIC_DAMAGES = [
    ("a file left beside", _left_beside, {"left-beside"}),
    ("a change reported as not saved", _changed_not_saved, {"changed-not-saved"}),
]


def run_damages(damages, seeds, folder, problems, most, detailed, must_try):
    """Each damage done to the writes of the seeds: the judge must fail each for one of its
    kinds. Up to `most` problems are kept (`detailed`: with the failure's text); a damage never
    tried is one where `must_try`."""
    for title, damage, kinds in damages:
        tried = caught = 0
        for index, (name, data) in enumerate(seeds):
            for stars in (index % 6, 4 if index % 6 == 0 else 0):
                case = run_case(ReferenceTool(damage), folder, data, stars)
                if case.result == "n/a":
                    continue
                tried += 1
                if case.failure is not None and case.failure[0] in kinds:
                    caught += 1
                elif len(problems) < most:
                    problems.append("damage %r (%s, %d stars) judged %s" % (title, name, stars, (
                        "%s: %s" % (case.failure[0], case.failure[2]) if detailed else case.failure[0])
                        if case.failure else "sound"))
        print("  %-45s caught %d of %d" % (title, caught, tried))
        if not tried and must_try:
            problems.append("damage %r never tried" % title)


def mutagen_self_test(test):
    """The judge of the formats mutagen saves proven: mutagen's saves pass, each damage fails, a
    store that refuses leaves them byte-identical and passes. test.files: other projects' files,
    whose saves by mutagen must pass too."""
    group = [fmt for fmt in formats() if fmt.mutagen_save]
    seeds = [seed for fmt in group if fmt.source for seed in fmt.source.pool()]
    peers = claimed_files(test.files, [name for fmt in group for name in fmt.names])
    rerenders = {kind for fmt in group for kind in fmt.rerenders}
    problems = test.problems
    rerendered = set()  # other projects' files whose items or frames mutagen's save renders anew
    clean = 0
    for index, (name, data) in enumerate(seeds + peers):
        fmt = format_of(data)
        old = fmt.state(data)
        for stars in range(6):
            for padding in fmt.paddings(name):
                written = fmt.mutagen_save(data, stars, padding)
                result = "Saved" if written is not None else "TagRefused"
                failure = judge(data, old, written if written is not None else data, stars, result, [])
                if failure is None and written is not None and index % 5 == 0 and stars == 3:
                    failure = judge_decoded(data, written, test.base, test.cache)
                clean += 1
                for whose, other in fmt.other_writes(index, data, stars) if padding is None else []:
                    verdict = judge(data, old, other if other is not None else data, stars,
                                    "Saved" if other is not None else "TagRefused", [])
                    clean += 1
                    if verdict is not None:
                        problems.append("%s fails: %s, %d stars: %s" % (whose, name, stars, verdict[2]))
                if failure is not None and index >= len(seeds) and failure[0] in rerenders:
                    rerendered.add(name)  # mutagen's fault, not the judge's: shown below
                elif failure is not None:
                    problems.append("mutagen's save fails: %s, %d stars%s: %s" % (
                        name, stars, "" if padding is None else ", no padding", failure[2]))
    forms = collections.Counter(fmt.form(name, fmt.state(d)) for _, d in seeds + peers for fmt, name in [claimed(d)])
    print("self-test: %d saves by mutagen (and M4A writes by make_mp4_riff's writer) of %d %s seeds and %d other "
          "projects' files judged (%s)" % (clean, len(seeds), listed([t for fmt in group for t in fmt.titles]),
                                           len(peers), ", ".join("%s %d" % kv for kv in sorted(forms.items()))))
    for name in sorted(rerendered):
        print("  mutagen's own save renders items or frames anew (judged as a store's would be): %s" % name)
    for name, data in peers:
        old = old_state(data)
        if getattr(old, "state", True) is None:
            print("  not trusted, to be left byte-identical: %s: %s" % (name, old.why))
    seeds = seeds + [(name, data) for name, data in peers if name not in rerendered]
    run_damages([damage for fmt in group for damage in fmt.damages] + GENERIC_DAMAGES, seeds, test.folder, problems,
                80, True, bool(seeds))
    for fmt in group:
        if fmt.checks:
            fmt.checks(test, seeds)


def self_test(files, own=True):
    """The formats' own self-test checks (none without `own`), then the judge proven by
    mutagen's saves; `files`: other projects' files, judged too. Exits 1 when any of it does not
    hold."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    test = SelfTest(base, folder, {}, [], files)
    try:
        for fmt in formats() if own else []:
            if fmt.self_test:
                fmt.self_test(test)
        mutagen_self_test(test)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("self-test: %s" % ("passes" if not test.problems else "%d problems" % len(test.problems)))
    for problem in test.problems:
        print("  " + problem)
    return 1 if test.problems else 0


def replay(args):
    """One input rated once, for a look by hand: the verdict, mutagen's view before and after,
    and the file as written, beside the input as INPUT.written."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = Tool(args.tool, base, 1)
    try:
        data = open(args.replay, "rb").read()
        case = run_case(tool, folder, data, args.stars, True)
    finally:
        tool.stop()
        shutil.rmtree(base, ignore_errors=True)
    print("result %s, plan %s: %s" % (case.result, case.plan, "; ".join(case.failure) if case.failure else "passes"))
    fmt = format_of(data)
    print("before:\n%s\n%s" % (describe_any(data), fmt.refusal(data) if fmt.refusal else ""))
    if case.after is not None:
        print("after:\n%s" % describe_any(case.after))
        with open(args.replay + ".written", "wb") as out:
            out.write(case.after)
    return 1 if case.failure else 0


def main(doc):
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--seeds", action="store_true", help="every seed once with each star count")
    parser.add_argument("--files", help="the peer trial: every file under this folder")
    parser.add_argument("--replay", help="rate this one file (--stars) and show what mutagen sees")
    parser.add_argument("--stars", type=int, default=3)
    parser.add_argument("--decode-every", type=int, default=8,
                        help="decode a FLAC or Ogg file saved before and after in every N-th fuzz case")
    parser.add_argument("--self-test", action="store_true",
                        help="prove the FLAC and Ogg judge: writes made here pass, damaged ones fail")
    parser.add_argument("--media-self-test", action="store_true",
                        help="prove the M4A, WAV, AIFF and ADTS judge alone (also part of --self-test)")
    parser.add_argument("--reference", action="store_true",
                        help="the writer by the rules made here in place of the store: no case may fail")
    parser.add_argument("--tool", default=os.path.join(ROOT, "build-fuzz", "rating_write_cli"))
    parser.add_argument("--artifacts", default=os.path.join(ROOT, "build-fuzz", "artifacts", "mutagen_write_fuzz"))
    args = parser.parse_args()
    if args.replay:
        return replay(args)
    if args.self_test or args.media_self_test:
        return self_test(args.files, own=args.self_test)
    os.makedirs(args.artifacts, exist_ok=True)

    tasks = None
    if args.seeds:
        seeds = [seed for source in sources() for seed in source.pool()]
        seeds += [seed for source in sources() if source.large for seed in source.large()]
        tasks = [(name, data, stars) for name, data in seeds for stars in range(6)]
    elif args.files:
        tasks = [(path, path, stars) for path in candidate_files(args.files) for stars in range(6)]
    if tasks is None:
        for source in sources():
            source.pool()  # ffmpeg runs once, before the workers fork
    shares = [None] * args.jobs if tasks is None else [tasks[i::args.jobs] for i in range(args.jobs)]
    if FFMPEG is None:
        print("mutagen_write_fuzz: no ffmpeg (tools/install-deps.sh): no ffmpeg seeds, decoded audio not compared")
    print("mutagen_write_fuzz: %s, %d job(s), seed %d" % (
        "%d cases" % len(tasks) if tasks is not None else "%g s" % args.seconds, args.jobs, args.seed), flush=True)
    started = time.time()
    queue = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=worker, args=(i, args, share, queue)) for i, share in enumerate(shares)]
    for process in workers:
        process.start()
    stats, kinds, kept, files = collections.Counter(), collections.Counter(), collections.defaultdict(set), {}
    inputs = collections.Counter()
    running = len(workers)
    while running:
        message = queue.get()
        if message[0] == "stats":
            stats.update(message[1])
            running -= 1
        elif message[0] == "file":
            _, path, stars, result, plan, failure = message
            files.setdefault(path, []).append((stars, result, plan, failure))
        else:
            _, case, how, data, stars = message
            kinds[case.failure[0]] += 1
            fmt, name = claimed(data)
            inputs[name[5:] if fmt.label else tag_label(data)] += 1
            keep_failure(args.artifacts, kept, case, how, data, stars, not args.files)
    for process in workers:
        process.join()
    elapsed = time.time() - started

    cases = stats["cases"]
    print("cases: %d in %.0f s (%.1f per second)" % (cases, elapsed, cases / max(elapsed, 1e-9)))
    print("results: " + ", ".join("%s %d" % (k[7:], v) for k, v in stats.most_common() if k.startswith("result ")))
    print("plans: " + ", ".join("%s %d" % (k[5:], v) for k, v in stats.most_common() if k.startswith("plan ")))
    print("inputs: " + ", ".join("%s %d" % (k[5:], v) for k, v in stats.most_common() if k.startswith("form ")))
    print("cases whose input mutagen cannot load (FLAC, Ogg: or the judge does not trust): %d" % stats["unloadable"])
    decoded = [[title for fmt in formats() if fmt.decoded == which for title in fmt.titles] for which in (True, False)]
    print("well-formed %s inputs not saved: %d" % (listed(decoded[0]), stats["well-formed refused"]))
    print("files written whose decoded audio was compared (all but %s): %d" % (listed(decoded[1]), stats["decoded"]))
    if files:
        saved = sum(1 for runs in files.values() if all(r[1] == "Saved" for r in runs))
        damaged = {p: runs for p, runs in files.items() if any(r[3] for r in runs)}
        refused = {p: runs for p, runs in files.items() if p not in damaged and any(r[1] != "Saved" for r in runs)}
        print("files: %d tried, %d saved with every star count, %d refused, %d damaged" % (
            len(files), saved, len(refused), len(damaged)))
        forms = collections.defaultdict(collections.Counter)
        for path, runs in files.items():
            with open(path, "rb") as f:
                form = song_name(f.read())[5:]
            forms[form]["tried"] += 1
            forms[form]["damaged"] += path in damaged
            forms[form]["saved"] += all(r[1] == "Saved" for r in runs)
        print("by format: " + ", ".join("%s %d tried, %d saved, %d damaged" % (
            form, c["tried"], c["saved"], c["damaged"]) for form, c in sorted(forms.items())))
        for title, group in (("damaged", damaged), ("refused", refused)):
            for path, runs in sorted(group.items()):
                how = sorted({"%s/%s%s" % (r[1], r[2], ": " + r[3][0] + " " + r[3][1] if r[3] else "")
                              for r in runs})
                with open(path, "rb") as f:
                    data = f.read()
                why = getattr(old_state(data), "why", "")  # MP3 and ADTS: none
                print("  %s %s: stars %s: %s%s" % (title, os.path.relpath(path, args.files),
                                                    "".join(str(r[0]) for r in sorted(runs) if r[3] or r[1] != "Saved"),
                                                    "; ".join(how), " (to be left alone: %s)" % why if why else ""))
    print("failures: %d" % sum(kinds.values()) + "".join("\n  %s: %d" % kv for kv in kinds.most_common()))
    if kinds:
        print("failures by input: " + ", ".join("%s %d" % kv for kv in inputs.most_common()))
    if kinds:
        print("kept in %s" % args.artifacts)
    return 1 if kinds else 0
