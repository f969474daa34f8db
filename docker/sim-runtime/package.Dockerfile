# norva/sim-runtime from a norva Debian package already built (cpack -G DEB), which is all the
# build context holds: scripts/sim-runtime-image makes that context and builds this. The image is
# the same as the last stage of ./Dockerfile, which builds the package from the sources first;
# keep the two alike.
FROM debian:12-slim
COPY norva_*_amd64.deb /tmp/
RUN apt-get update \
 && apt-get install -y --no-install-recommends /tmp/norva_*_amd64.deb python3 \
 && rm -rf /var/lib/apt/lists/* /tmp/norva_*_amd64.deb
WORKDIR /sim
EXPOSE 1337
CMD ["norva", "sim", "run", "/sim", "--host", "0.0.0.0", "--port", "1337"]
