-- Rows in every table of a database made by the previous release's schema
-- (schema-previous.sql): each weather table holds a reading stored twice.
USE UlmetDB;
INSERT INTO troposphericDelay (td, prn, elevation, data) VALUES
  (2.4, 5, 41.5, '2026-01-02 00:01:00'), (2.5, 6, 12.5, '2026-01-02 00:01:00');
INSERT INTO gps (latitude, height, elevation, data) VALUES (45.1, 210, 41.5, '2026-01-02 00:01:00');
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data) VALUES
  (1.25, 0.05, 41.5, 5, 2, '2026-01-02 00:01:00');
INSERT INTO pressure (pressure_value, data) VALUES
  (7.5, '2026-01-02 00:00:25'), (8.5, '2026-01-02 00:00:25'), (9.5, '2026-01-02 00:01:25');
INSERT INTO temperature (temperature_value, data) VALUES
  (7.5, '2026-01-02 00:00:25'), (8.5, '2026-01-02 00:00:25'), (9.5, '2026-01-02 00:01:25');
INSERT INTO humidity (humidity_value, data) VALUES
  (7.5, '2026-01-02 00:00:25'), (8.5, '2026-01-02 00:00:25'), (9.5, '2026-01-02 00:01:25');
INSERT INTO radiance (radiance_value, data) VALUES
  (7.5, '2026-01-02 00:00:25'), (8.5, '2026-01-02 00:00:25'), (9.5, '2026-01-02 00:01:25');
INSERT INTO raingauge (raingauge_value, data) VALUES
  (7.5, '2026-01-02 00:00:25'), (8.5, '2026-01-02 00:00:25'), (9.5, '2026-01-02 00:01:25');
