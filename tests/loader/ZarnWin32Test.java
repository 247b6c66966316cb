package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.StringReader;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Properties;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The loader on the host's JVM with the self-contained jar: which library it takes, how it copies,
 * reuses and replaces the cached file, with threads and processes at once. Only System.load
 * is replaced, by a stand-in that records the file, the hash it has at that moment and whether
 * this process holds it open then.
 *
 *   ZarnWin32Test JAR X86_DLL X64_DLL VERSION WORK_DIR   all checks
 *   ZarnWin32Test load [set:NAME=VALUE]...               (child) load(), print what was loaded
 *   ZarnWin32Test fail [set:NAME=VALUE]... TEXT...       (child) load() fails with every TEXT in its message
 *   ZarnWin32Test hold FILE                              (child) lock FILE, say "held", end when stdin closes
 * set: sets a system property in the child (\\uXXXX escapes allowed), where the command line cannot carry it.
 */
public class ZarnWin32Test {
    private static int failures;

    private static void check(boolean condition, String what) {
        failures += condition ? 0 : 1;
        System.out.println((condition ? "ok: " : "FAIL: ") + what);
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("hold")) {
            FileChannel.open(Paths.get(args[1]), StandardOpenOption.WRITE).lock();
            System.out.println("held");
            System.exit(System.in.read() == -1 ? 0 : 1);
        }
        if (args[0].equals("load") || args[0].equals("fail")) {
            int texts = 1;
            for (; texts < args.length && args[texts].startsWith("set:"); texts++) {
                Properties set = new Properties();
                set.load(new StringReader(args[texts].substring(4)));
                System.getProperties().putAll(set);
            }
            Recorder recorder = new Recorder();
            try {
                new ZarnWin32(recorder).loadOnce();
            } catch (UnsatisfiedLinkError e) {
                System.out.println(e.getMessage());
                for (String text : Arrays.copyOfRange(args, texts, args.length)) {
                    check(e.getMessage().contains(text), "the message says: " + text);
                }
                check(e.getSuppressed().length == e.getMessage().split("\n\\d\\. ").length - 1, "one suppressed exception per attempt");
                System.exit(args[0].equals("fail") && failures == 0 ? 0 : 1);
            }
            System.out.println(String.join("\n", recorder.loads));
            System.exit(args[0].equals("load") ? 0 : 1);
        }

        byte[] x86 = Files.readAllBytes(Paths.get(args[1]));
        byte[] x64 = Files.readAllBytes(Paths.get(args[2]));
        String version = args[3];
        Path caches = Paths.get(args[4]).toAbsolutePath().resolve("caches");

        try (JarFile jar = new JarFile(args[0])) {
            Attributes manifest = jar.getManifest().getMainAttributes();
            check(ZarnWin32.version().equals(version) && version.equals(manifest.getValue("Implementation-Version"))
                    && "zarnwin32".equals(manifest.getValue("Implementation-Title"))
                    && "com.zarn.kelda.dravik.common".equals(manifest.getValue("Automatic-Module-Name")),
                    "version() and the manifest say zarnwin32 " + version + ", module com.zarn.kelda.dravik.common");
        }
        check(Arrays.toString(ZarnWin32.holdOptions("Windows 10")).equals("[READ, NOSHARE_WRITE, NOSHARE_DELETE]")
                && Arrays.toString(ZarnWin32.holdOptions("Linux")).equals("[READ]"),
                "a checked file is held open without write and delete sharing on Windows, and read only elsewhere");

        String[][] arches = {{"x86", "i386", "i486", "i586", "i686"}, {"amd64", "x86_64"}, {"aarch64", "arm", "i786", "", "AMD64"}};
        String[] folders = {"win32-x86", "win32-x86-64", null};
        for (int i = 0; i < arches.length; i++) {
            for (String arch : arches[i]) {
                check(String.valueOf(folders[i]).equals(String.valueOf(ZarnWin32.folderFor(arch))), "os.arch \"" + arch + "\" -> " + folders[i]);
            }
        }

        // Extraction: the jar's bytes, in <cache>/<version>/<folder>/, named by their hash.
        Path cache = caches.resolve("one");
        for (String folder : new String[] {"win32-x86", "win32-x86-64"}) {
            byte[] dll = folder.equals("win32-x86") ? x86 : x64;
            Path file = ZarnWin32.extract(folder, cache);
            check(file.equals(cache.resolve(version).resolve(folder).resolve("zarnwin32-" + sha256(dll).substring(0, 16) + ".dll"))
                    && Arrays.equals(Files.readAllBytes(file), dll), folder + " copied to " + cache.relativize(file));
        }

        // Reuse: a copy whose hash matches is not written again.
        Path x64File = ZarnWin32.extract("win32-x86-64", cache);
        FileTime old = FileTime.fromMillis(1000000000000L);
        Files.setLastModifiedTime(x64File, old);
        Object identity = Files.readAttributes(x64File, BasicFileAttributes.class).fileKey();
        check(ZarnWin32.extract("win32-x86-64", cache).equals(x64File) && Files.getLastModifiedTime(x64File).equals(old)
                && Files.readAttributes(x64File, BasicFileAttributes.class).fileKey().equals(identity),
                "a matching copy is reused, not rewritten");

        // Threads extracting into an empty cache at once, outside load()'s lock (as class loaders would).
        Path threadCache = caches.resolve("threads");
        Set<Path> results = ConcurrentHashMap.newKeySet();
        List<Throwable> errors = runAtOnce(8, () -> results.add(ZarnWin32.extract("win32-x86", threadCache)));
        check(errors.isEmpty() && results.size() == 1 && Arrays.equals(Files.readAllBytes(results.iterator().next()), x86),
                "8 threads extracting at once all get the one verified copy " + errors);

        // load(): the host's JVM finds no zarnwin32 on java.library.path and takes the jar's library
        // for its os.arch, whose cached copy has one byte changed: load() must replace it before it
        // loads it. 8 threads call load() at once, then one more call: one load, of the right bytes.
        String hostFolder = ZarnWin32.folderFor(System.getProperty("os.arch"));
        byte[] hostDll = hostFolder.equals("win32-x86") ? x86 : x64;
        Path loadCache = caches.resolve("load");
        Path hostFile = ZarnWin32.extract(hostFolder, loadCache);
        byte[] tampered = hostDll.clone();
        tampered[tampered.length / 2] ^= 1;
        Files.write(hostFile, tampered);
        System.setProperty(ZarnWin32.CACHE_PROPERTY, loadCache.toString());
        Recorder recorder = new Recorder();
        ZarnWin32 loader = new ZarnWin32(recorder);
        errors = runAtOnce(8, loader::loadOnce);
        loader.loadOnce();
        String expected = hostFile + " " + sha256(hostDll) + " held";
        check(errors.isEmpty() && recorder.loads.equals(Arrays.asList(expected)),
                "a tampered copy is replaced; 8 threads and one more call load it once, held open " + recorder.loads + errors);

        // Two JVMs loading from one empty cache at once, a different library on java.library.path.
        Path work = Paths.get(args[4]).toAbsolutePath();
        String libraryName = System.mapLibraryName("zarnwin32");
        Path other = Files.write(Files.createDirectories(work.resolve("path-other")).resolve(libraryName), tampered);
        Path same = Files.write(Files.createDirectories(work.resolve("path-same")).resolve(libraryName), hostDll);
        Path processCache = caches.resolve("processes");
        Process first = child(processCache, "load", "-Djava.library.path=" + other.getParent());
        Process second = child(processCache, "load", "-Djava.library.path=" + other.getParent());
        // Held, unless the other JVM's rename put its own copy in place between the open and the load:
        // Linux renames over an open file, Windows refuses while it is held without delete sharing.
        String copy = processCache.resolve(loadCache.relativize(hostFile)) + " " + sha256(hostDll);
        List<String> both = Arrays.asList(output(first), output(second));
        check(both.stream().allMatch(out -> (copy + " held").equals(out) || copy.equals(out)),
                "two JVMs at once each load the verified copy, not the different one on java.library.path");
        // An identical library on java.library.path is loaded in place of a copy; one that differs is passed over.
        check((same + " " + sha256(hostDll) + " held").equals(output(child(caches.resolve("same"), "load",
                        "-Djava.library.path=" + other.getParent() + File.pathSeparator + same.getParent())))
                        && !Files.exists(caches.resolve("same")), "the identical library on java.library.path is loaded, held open");
        // zarnwin32.library: that file, made absolute, and nothing else, not even when it fails.
        Path here = Paths.get("").toAbsolutePath();
        check((other + " " + sha256(tampered)).equals(output(child(caches.resolve("named"), "load",
                        "-Dzarnwin32.library=" + here.relativize(other), "-Djava.library.path=" + same.getParent()))),
                "-Dzarnwin32.library=<relative path> loads that file by its absolute path");
        String text = output(child(caches.resolve("named"), "fail", "-Dzarnwin32.library=missing.dll",
                "-Djava.library.path=" + same.getParent(), "1. -Dzarnwin32.library=missing.dll: Can't load library: " + here.resolve("missing.dll")));
        check(text != null && !text.contains("\n2.") && !Files.exists(caches.resolve("named")), "a missing zarnwin32.library file: nothing else tried");
        // A relative cache folder is made absolute.
        check((caches.resolve("relative").resolve(loadCache.relativize(hostFile)) + " " + sha256(hostDll) + " held")
                .equals(output(child(here.relativize(caches.resolve("relative")), "load"))), "a relative cache folder is made absolute");
        // A cache folder the JVM cannot name (sun.jnu.encoding follows the locale): failed at once.
        String cyrillic = "set:zarnwin32.cache=" + caches + "/\\u0414\\u043c\\u0438\\u0442\\u0440\\u0438\\u0439";
        check(output(child(caches, "fail", "LC_ALL=C", cyrillic, "2. the jar's " + hostFolder + "/zarnwin32.dll from the cache: the cache folder's path "
                        + caches + "/", "sun.jnu.encoding (ANSI_X3.4-1968)", "-Dzarnwin32.cache=")) != null
                        && output(child(caches, "load", "LC_ALL=C.UTF-8", cyrillic)).startsWith(caches + "/\u0414\u043c\u0438\u0442\u0440\u0438\u0439/"),
                "a cache path outside sun.jnu.encoding fails at once, naming the cause; the same path in UTF-8 loads");
        // The JDK on Linux refuses such a path by itself; a JVM on Windows up to Java 16 takes it and
        // fails only in System.load. The loader's own check, with the JVM's file names in UTF-8:
        check(output(child(caches, "fail", "LC_ALL=C.UTF-8", cyrillic, "set:sun.jnu.encoding=US-ASCII", "sun.jnu.encoding (US-ASCII)")) != null,
                "the loader checks the path against sun.jnu.encoding itself");

        // A JVM for another architecture: System.loadLibrary, and the error says what was tried, in order.
        check(output(child(caches.resolve("arm"), "fail", "-Dos.arch=aarch64",
                        "zarnwin32 could not be loaded. Tried, in order:\n1. System.loadLibrary(\"zarnwin32\"), as this jar has no library "
                                + "for os.arch \"aarch64\" (it carries win32-x86, win32-x86-64): no zarnwin32 in java.library.path")) != null,
                "os.arch aarch64: System.loadLibrary, and an UnsatisfiedLinkError naming it");

        // Leftovers: a temporary file a killed JVM left is removed; one being written (locked) or just made stays.
        Path leftovers = Files.createDirectories(caches.resolve("leftovers").resolve(version).resolve(hostFolder));
        FileTime hourAgo = FileTime.fromMillis(System.currentTimeMillis() - 3600_000);
        Path stale = Files.setLastModifiedTime(Files.createFile(leftovers.resolve("zarnwin32-1.tmp")), hourAgo);
        Path busy = Files.setLastModifiedTime(Files.createFile(leftovers.resolve("zarnwin32-2.tmp")), hourAgo);
        Path fresh = Files.createFile(leftovers.resolve("zarnwin32-3.tmp"));
        Process holder = child(caches, "hold", busy.toString());
        holder.getInputStream().read(new byte[4]);
        ZarnWin32.extract(hostFolder, caches.resolve("leftovers"));
        holder.getOutputStream().close();
        check(holder.waitFor() == 0 && !Files.exists(stale) && Files.deleteIfExists(busy) && Files.deleteIfExists(fresh),
                "a stale temporary file is removed; one that another JVM holds locked, or a new one, stays");

        try (Stream<Path> files = Files.walk(caches)) {
            List<Path> left = files.filter(Files::isRegularFile).filter(f -> !f.toString().endsWith(".dll")).collect(Collectors.toList());
            check(left.isEmpty(), "no temporary file left in the caches " + left);
        }
        System.out.println(failures == 0 ? "loader: all checks passed" : "loader: " + failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    /**
     * In place of System.load: refuses what it refuses (a relative path, a missing file), else
     * records "path sha256-of-the-file-then", with " held" when this process has the file open then
     * (Linux: /proc/self/fd). System.loadLibrary is the JVM's own: it finds no Linux library.
     */
    private static final class Recorder implements ZarnWin32.Linker {
        final List<String> loads = new CopyOnWriteArrayList<>();

        @Override
        public void load(String path) {
            Path file = Paths.get(path);
            if (!file.isAbsolute() || !Files.isRegularFile(file)) {
                throw new UnsatisfiedLinkError((file.isAbsolute() ? "Can't load library: " : "Expecting an absolute path of the library: ") + path);
            }
            try (Stream<Path> open = Files.list(Paths.get("/proc/self/fd"))) {
                boolean held = open.anyMatch(fd -> {
                    try {
                        return Files.readSymbolicLink(fd).equals(file);
                    } catch (IOException e) {
                        return false;
                    }
                });
                loads.add(path + " " + sha256(Files.readAllBytes(file)) + (held ? " held" : ""));
            } catch (Exception e) {
                loads.add(path + " unreadable: " + e);
            }
        }

        @Override
        public void loadLibrary(String name) {
            System.loadLibrary(name);
        }
    }

    private interface Action {
        void run() throws Exception;
    }

    /** Runs the action on several threads released together; gives what they threw. */
    private static List<Throwable> runAtOnce(int threads, Action action) throws InterruptedException {
        CountDownLatch start = new CountDownLatch(1);
        List<Throwable> errors = new CopyOnWriteArrayList<>();
        List<Thread> started = new ArrayList<>();
        for (int i = 0; i < threads; i++) {
            Thread thread = new Thread(() -> {
                try {
                    start.await();
                    action.run();
                } catch (Throwable e) {
                    errors.add(e);
                }
            });
            thread.start();
            started.add(thread);
        }
        start.countDown();
        for (Thread thread : started) {
            thread.join();
        }
        return errors;
    }

    /** Starts this class in a JVM of its own with the cache folder given; "-D" arguments go to the JVM, "LC_ALL=" to its environment. */
    private static Process child(Path cache, String mode, String... arguments) throws Exception {
        List<String> command = new ArrayList<>(Arrays.asList(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-D" + ZarnWin32.CACHE_PROPERTY + "=" + cache, "-cp", System.getProperty("java.class.path")));
        List<String> rest = new ArrayList<>(Arrays.asList(ZarnWin32Test.class.getName(), mode));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        for (String argument : arguments) {
            if (argument.startsWith("LC_ALL=")) {
                builder.environment().put("LC_ALL", argument.substring(7));
            } else {
                (argument.startsWith("-D") ? command : rest).add(argument);
            }
        }
        command.addAll(rest);
        return builder.start();
    }

    /** A child's output, trimmed; null (with the output shown) when it failed. */
    private static String output(Process process) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        for (int n; (n = process.getInputStream().read(buffer)) != -1; ) {
            out.write(buffer, 0, n);
        }
        String text = new String(out.toByteArray(), StandardCharsets.UTF_8).trim();
        if (process.waitFor() != 0) {
            System.out.println("child failed:\n" + text);
            return null;
        }
        return text;
    }

    private static String sha256(byte[] data) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(data)) {
            hex.append(String.format("%02x", b));
        }
        return hex.toString();
    }
}
