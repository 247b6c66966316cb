package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
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
 * reuses and replaces the cached file, with threads and processes at once. Only the final
 * System.load is replaced, by a stand-in that records the file and the hash it has at that moment.
 *
 *   ZarnWin32Test JAR X86_DLL X64_DLL VERSION WORK_DIR   all checks
 *   ZarnWin32Test load                                   (child) load(), print what was loaded
 *   ZarnWin32Test fail TEXT...                           (child) load() fails with every TEXT in its message
 */
public class ZarnWin32Test {
    private static int failures;

    private static void check(boolean condition, String what) {
        failures += condition ? 0 : 1;
        System.out.println((condition ? "ok: " : "FAIL: ") + what);
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("load") || args[0].equals("fail")) {
            List<String> loads = recordLoads();
            try {
                ZarnWin32.load();
            } catch (UnsatisfiedLinkError e) {
                System.out.println(e.getMessage());
                for (String text : Arrays.copyOfRange(args, 1, args.length)) {
                    check(e.getMessage().contains(text), "the message says: " + text);
                }
                System.exit(args[0].equals("fail") && failures == 0 ? 0 : 1);
            }
            System.out.println(String.join("\n", loads));
            System.exit(args[0].equals("load") ? 0 : 1);
        }

        byte[] x86 = Files.readAllBytes(Paths.get(args[1]));
        byte[] x64 = Files.readAllBytes(Paths.get(args[2]));
        String version = args[3];
        Path caches = Paths.get(args[4]).resolve("caches");

        try (JarFile jar = new JarFile(args[0])) {
            Attributes manifest = jar.getManifest().getMainAttributes();
            check(ZarnWin32.version().equals(version) && version.equals(manifest.getValue("Implementation-Version"))
                    && "zarnwin32".equals(manifest.getValue("Implementation-Title")),
                    "version() and the manifest say zarnwin32 " + version);
        }

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
        List<String> loads = recordLoads();
        errors = runAtOnce(8, ZarnWin32::load);
        ZarnWin32.load();
        String expected = hostFile + " " + sha256(hostDll);
        check(errors.isEmpty() && loads.equals(Arrays.asList(expected)),
                "a tampered copy is replaced; 8 threads and one more call load it once " + loads + errors);

        // Two JVMs loading from one empty cache at once.
        Path processCache = caches.resolve("processes");
        Process first = child(processCache, "load");
        Process second = child(processCache, "load");
        expected = processCache.resolve(loadCache.relativize(hostFile)) + " " + sha256(hostDll);
        check(expected.equals(output(first)) && expected.equals(output(second)), "two JVMs at once each load the verified copy");

        // A JVM for another architecture: the error says what was tried, in order.
        check(output(child(caches.resolve("arm"), "fail", "-Dos.arch=aarch64", "1. System.loadLibrary(\"zarnwin32\"): no zarnwin32 in java.library.path",
                        "2. the library of this jar for os.arch \"aarch64\": zarnwin32 has no library for it; this jar carries win32-x86, win32-x86-64"))
                        != null,
                "os.arch aarch64: UnsatisfiedLinkError naming what was tried");

        try (Stream<Path> files = Files.walk(caches)) {
            List<Path> left = files.filter(Files::isRegularFile).filter(f -> !f.toString().endsWith(".dll")).collect(Collectors.toList());
            check(left.isEmpty(), "no temporary file left in the caches " + left);
        }
        System.out.println(failures == 0 ? "loader: all checks passed" : "loader: " + failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    /** Replaces System.load by a stand-in that records "path sha256-of-the-file-then". */
    private static List<String> recordLoads() {
        List<String> loads = new CopyOnWriteArrayList<>();
        ZarnWin32.systemLoad = path -> {
            try {
                loads.add(path + " " + sha256(Files.readAllBytes(Paths.get(path))));
            } catch (Exception e) {
                loads.add(path + " unreadable: " + e);
            }
        };
        return loads;
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

    /** Starts this class in a JVM of its own with the cache folder given; "-D" arguments go to the JVM. */
    private static Process child(Path cache, String mode, String... arguments) throws Exception {
        List<String> command = new ArrayList<>(Arrays.asList(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-D" + ZarnWin32.CACHE_PROPERTY + "=" + cache, "-cp", System.getProperty("java.class.path")));
        List<String> rest = new ArrayList<>(Arrays.asList(ZarnWin32Test.class.getName(), mode));
        for (String argument : arguments) {
            (argument.startsWith("-D") ? command : rest).add(argument);
        }
        command.addAll(rest);
        return new ProcessBuilder(command).redirectErrorStream(true).start();
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
