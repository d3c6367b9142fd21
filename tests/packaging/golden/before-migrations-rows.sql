-- Rows in every table of a database made by the last release that set up
-- its tables without numbered migrations (schema-before-migrations.sql):
-- the tables already have today's definitions but no schema_history; a
-- reading is stored twice where the table's index is plain.
USE UlmetDB;
INSERT INTO troposphericDelay (latitude, longitude, height, td, prn, elevation, data) VALUES
  (45.1, 7.2, 210, 2.4, 5, 41.5, '2026-11-02 00:01:00'),
  (45.1, 7.2, 210, 2.5, 6, 12.5, '2026-11-02 00:01:00');
INSERT INTO gps (latitude, longitude, height, elevation, data) VALUES
  (45.1, 7.2, 210, 41.5, '2026-11-02 00:01:00');
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, pressure, temperature,
                  humidity, data) VALUES
  (1.25, 0.05, 41.5, 5, 2, 1001.5, 12.5, 61, '2026-11-02 00:01:00');
INSERT INTO pressure (pressure_value, data) VALUES
  (1001.5, '2026-11-02 00:00:25'), (1001.25, '2026-11-02 00:01:25');
INSERT INTO temperature (temperature_value, data) VALUES
  (12.5, '2026-11-02 00:00:25'), (12.75, '2026-11-02 00:01:25');
INSERT INTO humidity (humidity_value, data) VALUES
  (61, '2026-11-02 00:00:25'), (62, '2026-11-02 00:01:25');
INSERT INTO radiance (radiance_value, data) VALUES
  (7.5, '2026-11-02 00:00:25'), (8.5, '2026-11-02 00:00:25');
INSERT INTO raingauge (raingauge_value, data) VALUES
  (0.2, '2026-11-02 00:00:25'), (0.4, '2026-11-02 00:00:25');
