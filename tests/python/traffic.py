"""Bytes a dask.distributed process has read from TCP: the payload of every
message, counted where distributed reads it. Shared by the distributed tests
and bench/bench_sample.py; run it on workers with `client.run`."""


def count_received_bytes(dask_worker=None):
    """Bytes this process has received over TCP since the first call."""
    import distributed.comm.tcp as tcp

    if not hasattr(tcp, "orvik_received"):
        tcp.orvik_received = 0
        read = tcp.read_bytes_rw

        async def counting(stream, n):
            tcp.orvik_received += n
            return await read(stream, n)

        tcp.read_bytes_rw = counting
    return tcp.orvik_received
