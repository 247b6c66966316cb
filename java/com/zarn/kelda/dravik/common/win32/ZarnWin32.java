package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.function.Consumer;

/**
 * Loads zarnwin32.dll into the JVM, from the jar itself when need be: call {@link #load()} once
 * before the first call to any method of the library's classes.
 *
 * <p>The jar carries the library for 32-bit JVMs ({@code win32-x86/zarnwin32.dll}) and for 64-bit
 * JVMs ({@code win32-x86-64/zarnwin32.dll}). The one that fits this JVM is copied into a cache
 * folder of the user, as
 * {@code %LOCALAPPDATA%\zarnwin32\<version>\<win32-x86 or win32-x86-64>\zarnwin32-<hash>.dll},
 * where {@code <hash>} is the start of the SHA-256 hash of its content, and loaded from there.
 * Without {@code LOCALAPPDATA} the cache is {@code .zarnwin32} in {@code user.home}; the system
 * property {@code zarnwin32.cache} names another folder in place of
 * {@code %LOCALAPPDATA%\zarnwin32}. A copy already in the cache is used when its whole SHA-256 hash
 * is that of the jar's library, and replaced when it is not.
 */
public final class ZarnWin32 {
    /** The system property that names the cache folder. */
    static final String CACHE_PROPERTY = "zarnwin32.cache";
    private static final String LIBRARY_FILE = "zarnwin32.dll";
    /** The folders of the jar that hold a library, in the order the error message lists them. */
    private static final String[] FOLDERS = {"win32-x86", "win32-x86-64"};

    /** Tests put a stand-in for System.load here; null: System.load. */
    static volatile Consumer<String> systemLoad;

    private static boolean loaded;

    private ZarnWin32() {
    }

    /**
     * Loads the library, once: later calls return at once. First it asks the JVM for a
     * {@code zarnwin32.dll} on {@code java.library.path} ({@code System.loadLibrary}), so that a
     * library installed there keeps precedence; when there is none that loads, it takes the one
     * this jar carries for the JVM's architecture (the system property {@code os.arch}: x86,
     * i386 to i686, amd64, x86_64), copied into the cache folder. Safe to call from several
     * threads, and from several processes that share the cache folder.
     *
     * @throws UnsatisfiedLinkError when no library could be loaded; its message lists what was
     *     tried, in order
     */
    public static synchronized void load() {
        if (loaded) {
            return;
        }
        StringBuilder tried = new StringBuilder("zarnwin32 could not be loaded. Tried, in order:");
        try {
            System.loadLibrary("zarnwin32");
            loaded = true;
            return;
        } catch (UnsatisfiedLinkError e) {
            tried.append("\n1. System.loadLibrary(\"zarnwin32\"): ").append(e.getMessage());
        }

        String arch = System.getProperty("os.arch", "");
        String folder = folderFor(arch);
        tried.append("\n2. the library of this jar for os.arch \"").append(arch).append("\": ");
        if (folder == null || ZarnWin32.class.getResource("/" + folder + "/" + LIBRARY_FILE) == null) {
            tried.append(folder == null ? "zarnwin32 has no library for it" : "not in this jar")
                    .append("; this jar carries ").append(carried());
            throw new UnsatisfiedLinkError(tried.toString());
        }
        Path file;
        try {
            file = extract(folder, cacheFolder());
        } catch (IOException | RuntimeException e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(
                    tried.append("copying ").append(folder).append('/').append(LIBRARY_FILE)
                            .append(" to the cache failed: ").append(e).toString());
            error.initCause(e);
            throw error;
        }
        try {
            Consumer<String> stub = systemLoad;
            if (stub != null) {
                stub.accept(file.toString());
            } else {
                System.load(file.toString());
            }
        } catch (UnsatisfiedLinkError e) {
            throw new UnsatisfiedLinkError(
                    tried.append("System.load(\"").append(file).append("\"): ").append(e.getMessage()).toString());
        }
        loaded = true;
    }

    /**
     * The version of this jar and of the libraries it carries, as it stands in the jar's manifest
     * (Implementation-Version) and in the version resource of each library.
     *
     * @return the version, for example {@code "1.0.0"}; {@code "unknown"} for classes that were
     *     not built into a jar by the library's build
     */
    public static String version() {
        try (InputStream in = ZarnWin32.class.getResourceAsStream("zarnwin32.version")) {
            return in == null ? "unknown" : new String(readAll(in), StandardCharsets.US_ASCII).trim();
        } catch (IOException e) {
            return "unknown";
        }
    }

    /** The jar's folder for a value of os.arch, or null for an architecture without a library. */
    static String folderFor(String osArch) {
        switch (osArch) {
            case "x86":
            case "i386":
            case "i486":
            case "i586":
            case "i686":
                return "win32-x86";
            case "amd64":
            case "x86_64":
                return "win32-x86-64";
            default:
                return null;
        }
    }

    /** The cache folder's root: the system property, else %LOCALAPPDATA%\zarnwin32, else ~/.zarnwin32. */
    static Path cacheFolder() {
        String chosen = System.getProperty(CACHE_PROPERTY);
        if (chosen != null && !chosen.isEmpty()) {
            return Paths.get(chosen);
        }
        String local = System.getenv("LOCALAPPDATA");
        if (local != null && !local.isEmpty()) {
            return Paths.get(local, "zarnwin32");
        }
        return Paths.get(System.getProperty("user.home"), ".zarnwin32");
    }

    /**
     * Gives the path of a file in the cache whose content is the jar's library of the folder:
     * the one there when its hash matches, else a new copy. A copy is written to a file of its
     * own and renamed into place in one step, so that no process ever sees a partial file. The
     * hash in the name keeps apart the libraries of two builds that carry the same version.
     */
    static Path extract(String folder, Path cacheRoot) throws IOException {
        byte[] library;
        try (InputStream in = ZarnWin32.class.getResourceAsStream("/" + folder + "/" + LIBRARY_FILE)) {
            if (in == null) {
                throw new IOException("this jar has no " + folder + "/" + LIBRARY_FILE);
            }
            library = readAll(in);
        }
        byte[] hash = sha256(library);
        Path dir = cacheRoot.resolve(version()).resolve(folder);
        Path target = dir.resolve(String.format("zarnwin32-%016x.dll", new BigInteger(1, hash).shiftRight(192)));
        if (hasHash(target, hash)) {
            return target;
        }
        Files.createDirectories(dir);
        Path temporary = Files.createTempFile(dir, "zarnwin32-", ".tmp");
        try {
            Files.write(temporary, library);
            try {
                Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE);
            } catch (IOException e) {
                // Windows refuses to replace a DLL that a process has loaded: another process
                // may have put its copy there first and loaded it. That copy is as good as ours.
                if (!hasHash(target, hash)) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
        return target;
    }

    private static boolean hasHash(Path file, byte[] hash) throws IOException {
        return Files.isRegularFile(file) && MessageDigest.isEqual(sha256(Files.readAllBytes(file)), hash);
    }

    private static byte[] sha256(byte[] data) {
        try {
            return MessageDigest.getInstance("SHA-256").digest(data);
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    private static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[65536];
        for (int n; (n = in.read(buffer)) != -1; ) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    /** The architectures this jar carries a library for, as folder names. */
    private static String carried() {
        StringBuilder list = new StringBuilder();
        for (String folder : FOLDERS) {
            if (ZarnWin32.class.getResource("/" + folder + "/" + LIBRARY_FILE) != null) {
                list.append(list.length() == 0 ? "" : ", ").append(folder);
            }
        }
        return list.length() == 0 ? "no library" : list.toString();
    }
}
